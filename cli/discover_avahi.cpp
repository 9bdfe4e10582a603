#include "discover.h"

#include <algorithm>
#include <map>
#include <memory>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include "device.h"

namespace {

constexpr const char *kTypes[] = {"_scpi-raw._tcp", "_http._tcp"};

struct Browse {
    AvahiSimplePoll *poll = nullptr;
    std::map<std::string, DiscoveredLight> found;
    int browsing = 0;   // browsers that have not said "all for now"
    int resolving = 0;  // resolvers not yet answered
    std::string failure;

    void finishIfDone() {
        if (browsing == 0 && resolving == 0) avahi_simple_poll_quit(poll);
    }
};

std::string txtValue(AvahiStringList *txt, const char *key) {
    AvahiStringList *entry = avahi_string_list_find(txt, key);
    char *k = nullptr;
    char *v = nullptr;
    std::string value;
    if (entry && avahi_string_list_get_pair(entry, &k, &v, nullptr) == 0 && v) value = v;
    avahi_free(k);
    avahi_free(v);
    return value;
}

void onResolved(AvahiServiceResolver *resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                const char *name, const char *type, const char *, const char *host, const AvahiAddress *address,
                uint16_t port, AvahiStringList *txt, AvahiLookupResultFlags, void *user) {
    Browse &b = *static_cast<Browse *>(user);
    if (event == AVAHI_RESOLVER_FOUND && txtValue(txt, "product") == "LightKit") {
        DiscoveredLight &light = b.found[name];
        light.name = name;
        light.host = host;
        char text[AVAHI_ADDRESS_STR_MAX] = "";
        avahi_address_snprint(text, sizeof text, address);
        if (std::find(light.addresses.begin(), light.addresses.end(), text) == light.addresses.end())
            light.addresses.push_back(text);
        if (std::string(type) == "_http._tcp") {
            light.httpPort = port;
            light.httpPath = txtValue(txt, "path");
        } else {
            light.scpiPort = port;
        }
        for (auto [field, key] : {std::pair{&light.device, "device"}, {&light.model, "model"}, {&light.firmware, "firmware"}}) {
            const std::string value = txtValue(txt, key);
            if (!value.empty()) *field = value;
        }
    }
    avahi_service_resolver_free(resolver);
    --b.resolving;
    b.finishIfDone();
}

void onBrowsed(AvahiServiceBrowser *browser, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
               const char *name, const char *type, const char *domain, AvahiLookupResultFlags, void *user) {
    Browse &b = *static_cast<Browse *>(user);
    AvahiClient *client = avahi_service_browser_get_client(browser);
    switch (event) {
    case AVAHI_BROWSER_NEW:
        if (avahi_service_resolver_new(client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                       AvahiLookupFlags(0), onResolved, &b))
            ++b.resolving;
        break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
        --b.browsing;
        b.finishIfDone();
        break;
    case AVAHI_BROWSER_FAILURE:
        b.failure = avahi_strerror(avahi_client_errno(client));
        avahi_simple_poll_quit(b.poll);
        break;
    default:
        break;
    }
}

void onTimeout(AvahiTimeout *, void *user) { avahi_simple_poll_quit(static_cast<Browse *>(user)->poll); }

// IPv4 before IPv6, link-local IPv6 last: the address to try first comes first.
int addressRank(const std::string &a) {
    if (a.find(':') == std::string::npos) return 0;
    return a.rfind("fe80:", 0) == 0 ? 2 : 1;
}

}  // namespace

std::vector<DiscoveredLight> discoverLights(std::chrono::milliseconds wait) {
    Browse b;
    std::unique_ptr<AvahiSimplePoll, void (*)(AvahiSimplePoll *)> poll(avahi_simple_poll_new(), avahi_simple_poll_free);
    if (!poll) throw DeviceError("cannot start an Avahi client");
    b.poll = poll.get();
    int error = 0;
    std::unique_ptr<AvahiClient, void (*)(AvahiClient *)> client(
        avahi_client_new(avahi_simple_poll_get(b.poll), AvahiClientFlags(0), nullptr, nullptr, &error),
        avahi_client_free);
    if (!client)
        throw DeviceError(std::string("no Avahi daemon to ask (") + avahi_strerror(error) +
                          "); start avahi-daemon, or give lightd's address yourself");
    for (const char *type : kTypes) {
        if (avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type, nullptr,
                                      AvahiLookupFlags(0), onBrowsed, &b))
            ++b.browsing;
    }
    const AvahiPoll *api = avahi_simple_poll_get(b.poll);
    struct timeval deadline;
    avahi_elapse_time(&deadline, static_cast<unsigned>(wait.count()), 0);
    api->timeout_new(api, &deadline, onTimeout, &b);
    avahi_simple_poll_loop(b.poll);
    if (!b.failure.empty()) throw DeviceError("browsing failed: " + b.failure);

    std::vector<DiscoveredLight> lights;
    for (auto &entry : b.found) {
        DiscoveredLight &light = entry.second;
        std::stable_sort(light.addresses.begin(), light.addresses.end(),
                         [](const std::string &x, const std::string &y) { return addressRank(x) < addressRank(y); });
        lights.push_back(std::move(light));
    }
    return lights;
}
