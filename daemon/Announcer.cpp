#include "Announcer.h"

#ifdef LIGHTD_HAVE_AVAHI
#include <net/if.h>
#include <unistd.h>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#endif

#include <boost/asio/ip/address.hpp>

namespace lightd {

std::string serviceName(const std::string &devicePort, const std::string &hostName) {
    const std::string device = devicePort.rfind("/dev/", 0) == 0 ? devicePort.substr(5) : devicePort;
    std::string name = "LightKit " + device + " on " + hostName;
    // A DNS-SD instance name is at most 63 bytes.
    if (name.size() > 63) name.resize(63);
    return name;
}

#ifdef LIGHTD_HAVE_AVAHI

struct Announcer::Impl {
    struct Service {
        const char *type;
        uint16_t port;
        bool http;
    };

    AnnounceInfo info;
    Log log;
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    char *name = nullptr;  // avahi_strdup'd; changes on a name collision
    bool saidNoDaemon = false;
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;

    AvahiStringList *txt(bool http) const {
        AvahiStringList *list = avahi_string_list_new("txtvers=1", "product=LightKit", nullptr);
        list = avahi_string_list_add_pair(list, "device", info.devicePort.c_str());
        if (!info.model.empty()) list = avahi_string_list_add_pair(list, "model", info.model.c_str());
        if (!info.firmware.empty()) list = avahi_string_list_add_pair(list, "firmware", info.firmware.c_str());
        if (http) list = avahi_string_list_add_pair(list, "path", "/");
        return list;
    }

    // Called with the poll's lock held (or on its thread).
    void publish() {
        if (!client || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) return;
        if (!group) group = avahi_entry_group_new(client, &Impl::onGroup, this);
        if (!group) return say("cannot announce: " + std::string(avahi_strerror(avahi_client_errno(client))));
        avahi_entry_group_reset(group);
        const Service services[] = {{"_scpi-raw._tcp", info.scpiPort, false}, {"_http._tcp", info.httpPort, true}};
        for (const auto &s : services) {
            if (s.port == 0) continue;
            AvahiStringList *records = txt(s.http);
            const int rc = avahi_entry_group_add_service_strlst(group, interface, protocol, AvahiPublishFlags(0), name,
                                                                s.type, nullptr, nullptr, s.port, records);
            avahi_string_list_free(records);
            if (rc == AVAHI_ERR_COLLISION) return rename();
            if (rc < 0) return say("cannot announce " + std::string(s.type) + ": " + avahi_strerror(rc));
        }
        const int rc = avahi_entry_group_commit(group);
        if (rc < 0) say("cannot announce: " + std::string(avahi_strerror(rc)));
    }

    void rename() {
        char *next = avahi_alternative_service_name(name);
        avahi_free(name);
        name = next;
        say(std::string("the name is taken; announcing as \"") + name + "\"");
        publish();
    }

    void updateTxt() {
        if (!group || avahi_entry_group_is_empty(group)) return;
        const Service services[] = {{"_scpi-raw._tcp", info.scpiPort, false}, {"_http._tcp", info.httpPort, true}};
        for (const auto &s : services) {
            if (s.port == 0) continue;
            AvahiStringList *records = txt(s.http);
            avahi_entry_group_update_service_txt_strlst(group, interface, protocol, AvahiPublishFlags(0), name,
                                                        s.type, nullptr, records);
            avahi_string_list_free(records);
        }
    }

    void say(const std::string &line) const {
        if (log) log("lightd: DNS-SD: " + line);
    }

    static void onGroup(AvahiEntryGroup *group, AvahiEntryGroupState state, void *user) {
        Impl *self = static_cast<Impl *>(user);
        self->group = group;
        if (state == AVAHI_ENTRY_GROUP_ESTABLISHED)
            self->say(std::string("announced as \"") + self->name + "\"");
        else if (state == AVAHI_ENTRY_GROUP_COLLISION)
            self->rename();
        else if (state == AVAHI_ENTRY_GROUP_FAILURE)
            self->say(std::string("announcing failed: ") +
                      avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
    }

    static void onClient(AvahiClient *client, AvahiClientState state, void *user) {
        Impl *self = static_cast<Impl *>(user);
        self->client = client;
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->saidNoDaemon = false;
            self->publish();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            if (self->group) avahi_entry_group_reset(self->group);
            break;
        case AVAHI_CLIENT_CONNECTING:
            // AVAHI_CLIENT_NO_FAIL: no daemon yet; Avahi connects when one starts.
            if (!self->saidNoDaemon) self->say("no Avahi daemon running; not announced until one starts");
            self->saidNoDaemon = true;
            self->group = nullptr;
            break;
        case AVAHI_CLIENT_FAILURE:
            self->say(std::string("Avahi failed: ") + avahi_strerror(avahi_client_errno(client)));
            break;
        }
    }
};

Announcer::Announcer(AnnounceInfo info, Log log) : m_impl(std::make_unique<Impl>()) {
    Impl &d = *m_impl;
    d.info = std::move(info);
    d.log = std::move(log);
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    d.name = avahi_strdup(serviceName(d.info.devicePort, host).c_str());
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(d.info.listenAddress, ec);
    if (!ec && address.is_loopback()) {
        // Listening on loopback only: announce it where it can be reached.
        d.interface = static_cast<AvahiIfIndex>(if_nametoindex("lo"));
        d.protocol = address.is_v4() ? AVAHI_PROTO_INET : AVAHI_PROTO_INET6;
    }
    d.poll = avahi_threaded_poll_new();
    if (!d.poll) {
        d.say("cannot start Avahi's thread");
        return;
    }
    int error = 0;
    d.client = avahi_client_new(avahi_threaded_poll_get(d.poll), AVAHI_CLIENT_NO_FAIL, &Impl::onClient, &d, &error);
    if (!d.client) {
        // No system bus at all: nothing will bring Avahi later either.
        d.say(error == AVAHI_ERR_NO_DAEMON ? std::string("no Avahi daemon running; not announced")
                                           : std::string("cannot reach Avahi: ") + avahi_strerror(error));
        return;
    }
    avahi_threaded_poll_start(d.poll);
}

Announcer::~Announcer() {
    Impl &d = *m_impl;
    if (d.poll) avahi_threaded_poll_stop(d.poll);
    if (d.client) avahi_client_free(d.client);  // frees the group too
    if (d.poll) avahi_threaded_poll_free(d.poll);
    avahi_free(d.name);
}

void Announcer::update(const std::string &model, const std::string &firmware) {
    Impl &d = *m_impl;
    if (!d.poll) return;
    avahi_threaded_poll_lock(d.poll);
    if (d.info.model != model || d.info.firmware != firmware) {
        d.info.model = model;
        d.info.firmware = firmware;
        d.updateTxt();
    }
    avahi_threaded_poll_unlock(d.poll);
}

#else

struct Announcer::Impl {};

Announcer::Announcer(AnnounceInfo, Log log) : m_impl(std::make_unique<Impl>()) {
    if (log) log("lightd: DNS-SD: built without Avahi; not announced on the network");
}

Announcer::~Announcer() = default;

void Announcer::update(const std::string &, const std::string &) {}

#endif

}  // namespace lightd
