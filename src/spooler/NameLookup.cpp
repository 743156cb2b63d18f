#include "spooler/NameLookup.h"

#include "spooler/RequestAbort.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace quill::spooler {
namespace {

// How often a lookup under way looks at its deadline and abort flag.
constexpr std::chrono::milliseconds kLookEvery{50};

// One lookup of the resolver's own threads; it must stay in place until they are done
// with it, also after its caller has given up.
struct Lookup {
    std::string host;
    std::string service;
    addrinfo hints{};
    gaicb request{};
};

// Lookups given up on before the resolver was done: freed once it is.
std::mutex g_abandonedMutex;
std::vector<std::unique_ptr<Lookup>> g_abandoned;

void Free(Lookup& lookup) {
    if (lookup.request.ar_result) freeaddrinfo(lookup.request.ar_result);
    lookup.request.ar_result = nullptr;
}

void ReapAbandoned() {
    const std::lock_guard<std::mutex> lock(g_abandonedMutex);
    std::erase_if(g_abandoned, [](std::unique_ptr<Lookup>& lookup) {
        if (gai_error(&lookup->request) == EAI_INPROGRESS) return false;
        Free(*lookup);
        return true;
    });
}

// The resolver's answer (with the port) as libcups' address list, in the resolver's order.
http_addrlist_t* ToAddressList(const addrinfo* found) {
    http_addrlist_t* first = nullptr;
    http_addrlist_t** next = &first;
    for (const addrinfo* ai = found; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        if (static_cast<std::size_t>(ai->ai_addrlen) > sizeof(http_addr_t)) continue;
        // libcups frees the list with free().
        auto* entry = static_cast<http_addrlist_t*>(std::calloc(1, sizeof(http_addrlist_t)));
        if (!entry) break;
        std::memcpy(&entry->addr, ai->ai_addr, ai->ai_addrlen);
        *next = entry;
        next = &entry->next;
    }
    return first;
}

// The address list of a host written as an IPv4 or IPv6 address; nullopt for a name.
std::optional<http_addrlist_t*> ReadAddress(const std::string& host, const std::string& service, addrinfo hints) {
    hints.ai_flags |= AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return std::nullopt;
    http_addrlist_t* list = ToAddressList(found);
    freeaddrinfo(found);
    return list;
}

} // namespace

http_addrlist_t* LookUpServer(const std::string& host, int port, std::chrono::steady_clock::time_point until,
                              std::string& reason) {
    // A local socket is a path: nothing to look up.
    if (!host.empty() && host.front() == '/') {
        http_addrlist_t* list = httpAddrGetList(host.c_str(), AF_LOCAL, nullptr);
        if (!list) reason = "no such socket";
        return list;
    }
    ReapAbandoned();
    auto lookup = std::make_unique<Lookup>();
    // An IPv6 address may come in brackets.
    lookup->host =
        host.size() >= 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
    lookup->service = std::to_string(port);
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_STREAM;
    // An address written out asks no name server: it is read here, at once, and no
    // resolver thread is started for it.
    if (const auto read = ReadAddress(lookup->host, lookup->service, lookup->hints)) {
        if (!*read) reason = "the name has no address";
        return *read;
    }
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_service = lookup->service.c_str();
    lookup->request.ar_request = &lookup->hints;
    gaicb* requests[1] = {&lookup->request};
    if (getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) != 0) {
        reason = "the name cannot be looked up now";
        return nullptr;
    }
    int status;
    while ((status = gai_error(&lookup->request)) == EAI_INPROGRESS) {
        const auto left = until - std::chrono::steady_clock::now();
        if (AbortScope::Requested() || left <= std::chrono::steady_clock::duration::zero()) {
            if (gai_cancel(&lookup->request) != EAI_CANCELED) {
                const std::lock_guard<std::mutex> lock(g_abandonedMutex);
                g_abandoned.push_back(std::move(lookup));
            }
            reason = "its name was not looked up in time";
            return nullptr;
        }
        const auto slice = std::min<std::chrono::steady_clock::duration>(left, kLookEvery);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(slice);
        const timespec wait{
            static_cast<time_t>(seconds.count()),
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(slice - seconds).count())};
        gai_suspend(requests, 1, &wait);
    }
    if (status != 0) {
        reason = gai_strerror(status);
        Free(*lookup);
        return nullptr;
    }
    http_addrlist_t* list = ToAddressList(lookup->request.ar_result);
    Free(*lookup);
    if (!list) reason = "the name has no address";
    return list;
}

} // namespace quill::spooler
