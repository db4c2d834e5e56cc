#pragma once
// The shared files of one participant and the exchanges with the peers, without widgets:
// offering local files, announcing the own offers (kind 3), taking in the announcements of
// others, requesting a file from its owner (kind 4), serving requests (kind 5) and storing
// the files that arrive. The message hub owns it, gives it what arrives and sends what it
// sends; the shared files window watches it and commands it, all on the GUI thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session/PeerMessage.h"
#include "share/SharesDataList.h"

// Where the exchange's messages go (the hub queues them for its send pump).
class ISharesSender {
public:
    virtual ~ISharesSender() = default;
    // The own offers (kind 3's payload), for every peer.
    virtual void SendSharesList(const std::uint8_t* bytes, std::uint32_t count) = 0;
    // A kind 4 or 5 whose header names the member it is for until it is sent.
    virtual void SendDirected(CPeerMessage&& message) = 0;
};

// What the shared files window watches.
class ISharesObserver {
public:
    virtual ~ISharesObserver() = default;
    // The list changed (offers came, went or were withdrawn).
    virtual void OnSharesChanged() = 0;
    // How much of a file answer has come in so far (never the whole: its arrival follows).
    virtual void OnDownloadProgress(std::uint32_t received, std::uint32_t total) = 0;
    // An answer to a request of ours, stored; without content when the owner refused it
    // (the reason in its first reserved word).
    virtual void OnFileArrived(const CSharesFileObject& file) = 0;
    // The member left: nothing more comes from it. Its offers are dropped right after.
    virtual void OnOwnerLeft(std::uint32_t userId, std::uint32_t groupId) = 0;
};

struct SharesHost {
    ISharesSender* sender = nullptr;
    // The local user's record in the own session (ids and display name).
    std::function<CUserInformation()> localUser;
    // Whether (user id, group id) is the local user in either session it is in.
    std::function<bool(std::uint32_t, std::uint32_t)> isLocal;
    // The per-user temporary folder that holds "OSKEL/".
    std::string tempFolder;
    // The name the peer list knows (user id, group id) by; empty when unknown.
    std::function<std::string(std::uint32_t, std::uint32_t)> userName;
};

// Why a file cannot be offered (Init refuses it).
enum class OfferRefusal { None, Missing, Folder, NotAFile, TooLarge, Unreadable };

// Why an answer to a file request carries no content. It travels in the answer's first
// reserved word; older owners leave that 0 (Unknown).
enum class ServeFailure : std::uint32_t { Unknown = 0, NotOffered = 1, Gone = 2, TooLarge = 3, Empty = 4 };

class CSharesExchange {
public:
    explicit CSharesExchange(SharesHost host);

    // The watcher (one; null for none). It must outlive the exchange or be unset first.
    void SetObserver(ISharesObserver* observer) { m_pObserver = observer; }

    // What keeps the file at path from being offered; None when it can be.
    static OfferRefusal WhyNotOffered(const std::string& path);

    CSharesDataList& List() { return m_list; }
    const SharesHost& Host() const { return m_host; }

    // Offers a local file: true when it could be offered (it may have been offered already).
    bool AddFile(const std::string& path);
    // Withdraws the own offer of that file name; false when there is none.
    bool DeleteOwn(const std::string& fileName);
    bool IsOwn(const CSharesData& record) const;

    // Kind 3 with the own offers; offers whose file is gone are withdrawn first.
    void AnnounceShares();
    // Withdraws the own offers whose file can no longer be opened; true when there were any.
    bool PruneOwnMissing();
    // Sends a kind 4 for the record to its owner.
    void RequestFile(const CSharesData& record);

    // A received kind 3, 4 or 5, sender's ids in the header; the watcher hears what came of it.
    void OnPeerMessage(const CPeerMessage& message);
    // A member left: its offers go, and a download from it ends.
    void OnPeerRemoved(std::uint32_t userId, std::uint32_t groupId);
    // How far a large incoming message has come (only file answers are watched).
    void OnReceiveProgress(std::uint32_t kind, std::uint32_t received, std::uint32_t total);

    // Received messages; (userId, groupId) are the sender's ids from the envelope.
    // False when the payload was dropped.
    bool OnSharesList(const std::uint8_t* payload, std::size_t size, std::uint32_t userId, std::uint32_t groupId);
    bool OnFileRequest(const std::uint8_t* payload, std::size_t size, std::uint32_t userId, std::uint32_t groupId);
    // The received file object, after storing it, or nullopt when the payload was dropped.
    std::optional<CSharesFileObject> OnFileData(const std::uint8_t* payload, std::size_t size, std::uint32_t userId,
                                                std::uint32_t groupId);
    void RemoveOwner(std::uint32_t userId, std::uint32_t groupId);

    // Where a record's stored copy is, or empty when there is none.
    std::string LocalCopyPath(const CSharesData& record) const;

    // File answers dropped because this instance had not asked that member for that file.
    std::uint64_t UnaskedAnswers() const { return m_unasked; }

private:
    CSharesExchange(const CSharesExchange&) = delete;
    CSharesExchange& operator=(const CSharesExchange&) = delete;

    // Whether the request names one of the own offers (by name and folder).
    bool IsOffered(const CSharesData& requested) const;

    struct Request {
        std::uint32_t userId;
        std::uint32_t groupId;
        std::string fileName;
    };
    // Requests sent and not answered yet, oldest first; only these are taken in.
    static constexpr std::size_t kMaxRequests = 64;
    std::vector<Request> m_requests;
    std::uint64_t m_unasked = 0;

    SharesHost m_host;
    CSharesDataList m_list;
    ISharesObserver* m_pObserver = nullptr;
};
