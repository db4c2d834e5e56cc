#pragma once
// The shared-file records: CSharesData (type 102) names one offered file, its owner and its
// size; CSharesFileObject (type 104) carries the file's content besides. Both encode as
// record blocks: header, then group id, user id, available, attribute, nine reserved words
// (fixed offsets 12 to 63), two reserved texts, user name, file name, file path, virtual
// path and file size; the file object then appends the content, five reserved words and
// two reserved texts.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "session/HalvoTransData.h"
#include "session/UserInformation.h"

class CSharesData : public CHalvoTransData {
public:
    static constexpr std::uint32_t TYPE_SHARES_DATA = 102;
    static constexpr std::uint32_t TYPE_SHARES_LIST = 103;
    static constexpr std::uint32_t TYPE_SHARES_FILE = 104;
    // The largest file that can be offered.
    static constexpr std::uint32_t kMaxFileSize = 0x200000;
    static constexpr std::size_t kReservedWords = 9;

    CSharesData() : CHalvoTransData(TYPE_SHARES_DATA, SUBTYPE_DEFAULT) {}
    // A copy keeps the source's type and every field except the two reserved texts.
    CSharesData(const CSharesData& other);
    CSharesData& operator=(const CSharesData& other);
    ~CSharesData() override = default;

    // Makes the record of a local file: name and folder from the path, size, available = 1
    // and the local user's ids and name. 1 when the file cannot be opened or is larger than
    // kMaxFileSize (then ids and name stay unset); 0 when accepted.
    virtual int Init(const std::string& path, const CUserInformation& localUser);
    // -1 when (userId, groupId) is not the owner, 0 when the full path cannot be opened,
    // 1 when it can.
    virtual int CheckLocalFile(std::uint32_t userId, std::uint32_t groupId) const;

    std::uint32_t GetGroupId() const noexcept { return m_dwGroupId; }
    std::uint32_t GetUserId() const noexcept { return m_dwUserId; }
    const std::string& GetUserName() const noexcept { return m_strUserName; }
    const std::string& GetFileName() const noexcept { return m_strFileName; }
    std::uint32_t GetFileSize() const noexcept { return m_dwFileSize; }
    std::string GetFileSizeText() const;
    const std::string& GetFilePath() const noexcept { return m_strFilePath; }
    // Folder, "/", file name.
    std::string GetFullPath() const;
    const std::string& GetFileVirtualPath() const noexcept { return m_strVirtualPath; }
    std::uint32_t GetAvailable() const noexcept { return m_dwAvailable; }
    std::uint32_t GetAttribute() const noexcept { return m_dwAttribute; }
    std::string GetAttributeText() const;
    std::uint32_t GetReserved(std::size_t i) const noexcept { return i < kReservedWords ? m_dwReserved[i] : 0; }

    void SetGroupId(std::uint32_t id) noexcept { m_dwGroupId = id; }
    void SetUserId(std::uint32_t id) noexcept { m_dwUserId = id; }
    void SetUserName(std::string_view name);
    void SetFileName(std::string_view name);
    void SetFileSize(std::uint32_t size) noexcept { m_dwFileSize = size; }
    void SetFilePath(std::string_view path);
    void SetFileVirtualPath(std::string_view path);
    void SetAvailable(std::uint32_t available) noexcept { m_dwAvailable = available; }
    void SetAttribute(std::uint32_t attribute) noexcept { m_dwAttribute = attribute; }
    void SetReserved(std::size_t i, std::uint32_t value) noexcept
    {
        if (i < kReservedWords) m_dwReserved[i] = value;
    }

    bool IsOwner(std::uint32_t userId, std::uint32_t groupId) const noexcept
    {
        return m_dwUserId == userId && m_dwGroupId == groupId;
    }
    // Same file name, user id and group id: the identity of an offer.
    bool SameOffer(const CSharesData& other) const noexcept
    {
        return m_strFileName == other.m_strFileName && IsOwner(other.m_dwUserId, other.m_dwGroupId);
    }

    void Serialize(CTransBlock& block) const override;
    bool Deserialize(CTransBlock& block) override;

protected:
    explicit CSharesData(std::uint32_t type) : CHalvoTransData(type, SUBTYPE_DEFAULT) {}
    // The reserved texts as decoded (a copy leaves them empty).
    void TakeReservedTexts(CSharesData& from);
    // Fields 2 to 21, after the header.
    void SerializeFields(CTransBlock& block) const;
    // Fields 21 down to 2, into this record; the header stays.
    bool DeserializeFields(CTransBlock& block);

private:
    std::uint32_t m_dwGroupId = 0;
    std::uint32_t m_dwUserId = 0;
    std::uint32_t m_dwAvailable = 0;
    std::uint32_t m_dwAttribute = 0;
    std::uint32_t m_dwReserved[kReservedWords] = {};
    std::string m_strReserved1;
    std::string m_strReserved2;
    std::string m_strUserName;
    std::string m_strFileName;
    std::string m_strFilePath;
    std::string m_strVirtualPath;
    std::uint32_t m_dwFileSize = 0;
};

class CSharesFileObject : public CSharesData {
public:
    static constexpr std::size_t kReservedWords2 = 5;

    CSharesFileObject() : CSharesData(TYPE_SHARES_FILE) {}
    // Every field of the record, as a file object (type 104) without content.
    explicit CSharesFileObject(const CSharesData& record);

    // Reads the local file at GetFullPath() into the content and sets the size to what was
    // read: 0 and no content when it cannot be read. Only regular files are read, and at
    // most `limit` bytes: a larger file counts as unreadable.
    virtual int ReadFileData(std::size_t limit = kMaxServedSize);
    // Writes the first file-size bytes of the content under
    // tempFolder/OSKEL/<owner>/<file> (both names reduced to plain names) and sets the
    // virtual path to that folder. 0 when stored; 1 when there was nothing to store or it
    // could not be written (the virtual path is then left as it was).
    virtual int StoreLocalCopy(const std::string& tempFolder);

    // Replaces the content with a copy of `count` bytes.
    void SetFileData(const std::uint8_t* bytes, std::size_t count);
    const std::vector<std::uint8_t>& GetFileData() const noexcept { return m_content; }
    bool HasFileData() const noexcept { return m_bHasContent; }

    void Serialize(CTransBlock& block) const override;
    bool Deserialize(CTransBlock& block) override;

    // What a served file may hold: the offer limit with room for growth, well inside what
    // one transport message carries.
    static constexpr std::size_t kMaxServedSize = 3 * 1024 * 1024;

private:
    std::vector<std::uint8_t> m_content;
    bool m_bHasContent = false;
    std::uint32_t m_dwReserved2[kReservedWords2] = {};
    std::string m_strReserved3;
    std::string m_strReserved4;
};
