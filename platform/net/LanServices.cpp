#include "platform/net/LanServices.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>
#include <avahi-glib/glib-watch.h>

#include <algorithm>
#include <cstring>

namespace net {
namespace {

// DNS-SD's limits: 63 bytes for an instance name, 255 for one TXT string. Longer texts are cut
// on a character boundary, or the daemon refuses the whole announcement.
constexpr std::size_t kMaxServiceName = 63;
constexpr std::size_t kMaxTxtString = 255;

std::string CutUtf8(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace

struct LanServices::Impl {
    struct Entry {
        AvahiIfIndex interface;
        std::string name;
        std::string domain;
        LanSession session;
        bool resolved = false;
    };

    Impl(LanServices* services, std::string serviceType) : owner(services), type(std::move(serviceType))
    {
        glibPoll = avahi_glib_poll_new(nullptr, G_PRIORITY_DEFAULT);
        poll = avahi_glib_poll_get(glibPoll);
        Connect();
    }

    ~Impl()
    {
        if (restart) poll->timeout_free(restart);
        Disconnect();
        avahi_glib_poll_free(glibPoll);
    }

    // NO_FAIL: without a daemon the client waits for one instead of failing.
    void Connect()
    {
        int error = 0;
        client = avahi_client_new(poll, AVAHI_CLIENT_NO_FAIL, &Impl::OnClient, this, &error);
    }

    void Disconnect()
    {
        for (AvahiServiceResolver* resolver : resolvers) avahi_service_resolver_free(resolver);
        resolvers.clear();
        if (browser) avahi_service_browser_free(browser);
        browser = nullptr;
        if (group) avahi_entry_group_free(group);
        group = nullptr;
        if (client) avahi_client_free(client);
        client = nullptr;
        running = false;
        if (!entries.empty()) {
            entries.clear();
            Changed();
        }
    }

    void Changed()
    {
        found.clear();
        for (const Entry& entry : entries) {
            if (entry.resolved) found.push_back(entry.session);
        }
        if (owner && owner->onChange) owner->onChange();
    }

    void Publish()
    {
        if (!client || !running) return;
        if (group) avahi_entry_group_reset(group);
        if (announcedName.empty()) return;
        if (!group) group = avahi_entry_group_new(client, &Impl::OnGroup, this);
        if (!group) return;
        AvahiStringList* list = nullptr;
        for (const auto& [key, value] : txt) {
            const std::string cut = CutUtf8(value, kMaxTxtString - key.size() - 1);
            list = avahi_string_list_add_pair(list, key.c_str(), cut.c_str());
        }
        const int result =
            avahi_entry_group_add_service_strlst(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                 announcedName.c_str(), type.c_str(), nullptr, nullptr, port, list);
        avahi_string_list_free(list);
        if (result == AVAHI_ERR_COLLISION) {
            Rename();
            return;
        }
        if (result == 0) avahi_entry_group_commit(group);
    }

    // Another machine announces the name already: take the daemon's next alternative.
    void Rename()
    {
        char* alternative = avahi_alternative_service_name(announcedName.c_str());
        announcedName = alternative;
        avahi_free(alternative);
        Publish();
    }

    static void OnClient(AvahiClient* c, AvahiClientState state, void* data)
    {
        auto* self = static_cast<Impl*>(data);
        // The first call comes from inside avahi_client_new, before the pointer is stored.
        self->client = c;
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->running = true;
            if (!self->browser) {
                // IPv4 only: an address that needs no interface scope to be joined.
                self->browser = avahi_service_browser_new(c, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, self->type.c_str(),
                                                          nullptr, AvahiLookupFlags(0), &Impl::OnBrowse, self);
            }
            self->Publish();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The daemon's host name changes: announce again once it runs.
            if (self->group) avahi_entry_group_reset(self->group);
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away; a new client waits for it to come back. Not from inside
            // the client's own callback.
            if (!self->restart) {
                timeval now{};
                avahi_elapse_time(&now, 0, 0);
                self->restart = self->poll->timeout_new(self->poll, &now, &Impl::OnRestart, self);
            }
            break;
        case AVAHI_CLIENT_CONNECTING: break;
        }
    }

    static void OnRestart(AvahiTimeout* timeout, void* data)
    {
        auto* self = static_cast<Impl*>(data);
        self->poll->timeout_free(timeout);
        self->restart = nullptr;
        self->Disconnect();
        self->Connect();
    }

    static void OnGroup(AvahiEntryGroup*, AvahiEntryGroupState state, void* data)
    {
        if (state == AVAHI_ENTRY_GROUP_COLLISION) static_cast<Impl*>(data)->Rename();
    }

    static void OnBrowse(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                         const char* name, const char* serviceType, const char* domain, AvahiLookupResultFlags flags,
                         void* data)
    {
        auto* self = static_cast<Impl*>(data);
        if (event == AVAHI_BROWSER_NEW) {
            // Our own announcement is not a session to join.
            if (flags & AVAHI_LOOKUP_RESULT_OUR_OWN) return;
            if (self->Find(interface, name, domain) != self->entries.end()) return;
            self->entries.push_back({interface, name, domain, {}, false});
            if (AvahiServiceResolver* resolver =
                    avahi_service_resolver_new(self->client, interface, protocol, name, serviceType, domain,
                                               AVAHI_PROTO_INET, AvahiLookupFlags(0), &Impl::OnResolve, self)) {
                self->resolvers.push_back(resolver);
            }
        } else if (event == AVAHI_BROWSER_REMOVE) {
            const auto it = self->Find(interface, name, domain);
            if (it == self->entries.end()) return;
            const bool shown = it->resolved;
            self->entries.erase(it);
            if (shown) self->Changed();
        }
    }

    static void OnResolve(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                          AvahiResolverEvent event, const char* name, const char*, const char* domain,
                          const char* hostName, const AvahiAddress* address, uint16_t port, AvahiStringList* txt,
                          AvahiLookupResultFlags, void* data)
    {
        auto* self = static_cast<Impl*>(data);
        const auto it = self->Find(interface, name, domain);
        if (event == AVAHI_RESOLVER_FOUND && it != self->entries.end() && address != nullptr) {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            LanSession& session = it->session;
            session.name = name;
            session.host = hostName ? hostName : "";
            session.address = text;
            session.port = port;
            if (AvahiStringList* user = avahi_string_list_find(txt, "user")) {
                char* key = nullptr;
                char* value = nullptr;
                if (avahi_string_list_get_pair(user, &key, &value, nullptr) == 0) {
                    session.user = value ? value : "";
                    avahi_free(key);
                    avahi_free(value);
                }
            }
            it->resolved = true;
            self->Changed();
        }
        self->resolvers.erase(std::remove(self->resolvers.begin(), self->resolvers.end(), resolver),
                              self->resolvers.end());
        avahi_service_resolver_free(resolver);
    }

    std::vector<Entry>::iterator Find(AvahiIfIndex interface, const char* name, const char* domain)
    {
        return std::find_if(entries.begin(), entries.end(), [&](const Entry& entry) {
            return entry.interface == interface && entry.name == name && entry.domain == domain;
        });
    }

    LanServices* owner = nullptr;
    const std::string type;
    AvahiGLibPoll* glibPoll = nullptr;
    const AvahiPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    AvahiTimeout* restart = nullptr;
    std::vector<AvahiServiceResolver*> resolvers;
    bool running = false;
    std::string announcedName;
    std::uint16_t port = 0;
    Txt txt;
    std::vector<Entry> entries;
    std::vector<LanSession> found;
};

LanServices::LanServices(std::string type)
{
    // The owner is known before the client's first call.
    m = std::make_unique<Impl>(this, std::move(type));
}

LanServices::~LanServices() = default;

void LanServices::Announce(const std::string& name, std::uint16_t port, Txt txt)
{
    m->announcedName = CutUtf8(name, kMaxServiceName);
    m->port = port;
    m->txt = std::move(txt);
    m->Publish();
}

const std::vector<LanSession>& LanServices::Found() const
{
    return m->found;
}

bool LanServices::Running() const
{
    return m->running;
}

}  // namespace net
