// TCP keep-alive for every client connection of lightd: probes after a
// minute of silence, every 10 s, 6 unanswered, so a client whose machine went
// away (asleep, unplugged) is closed in about two minutes while a live quiet
// one stays.
#ifndef LIGHTD_KEEP_ALIVE_H
#define LIGHTD_KEEP_ALIVE_H

#include <boost/asio/ip/tcp.hpp>

namespace lightd {

inline void enableKeepAlive(boost::asio::ip::tcp::socket &socket) {
    namespace asio = boost::asio;
    boost::system::error_code ec;  // a socket without these still works
    socket.set_option(asio::socket_base::keep_alive(true), ec);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
    socket.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPIDLE>(60), ec);
    socket.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPINTVL>(10), ec);
    socket.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPCNT>(6), ec);
#endif
}

}  // namespace lightd

#endif
