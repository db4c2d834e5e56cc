#pragma once
// The shared files of one participant and the exchanges with the peers, without widgets:
// offering local files, announcing the own offers (kind 3), taking in the announcements of
// others, requesting a file from its owner (kind 4), serving requests (kind 5) and storing
// the files that arrive. The shared files window drives it on the GUI thread; messages go
// to the main window with WM_SHARES_LIST_SEND, WM_SHARES_REQUEST_SEND and
// WM_SHARES_DATA_SEND.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/winmsg/WinMsg.h"
#include "share/SharesDataList.h"

struct SharesHost {
    HWND mainWindow = 0;
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
};
