#include "share/SharesData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include <QtGlobal>

#include "app/Log.h"
#include "session/RecordText.h"
#include "share/SharesStore.h"

using morvika::record::WireText;

namespace {

const CHalvoTransDataRegistration g_sharesData{CSharesData::TYPE_SHARES_DATA, &MakeTransData<CSharesData>};
const CHalvoTransDataRegistration g_sharesFile{CSharesData::TYPE_SHARES_FILE, &MakeTransData<CSharesFileObject>};

constexpr const char* kNoMemory = "メモリを確保できない";

// A string setter's copy; on failure the field is left empty and the line logged.
void SetText(std::string& field, std::string_view value, const char* setter)
{
    try {
        field = WireText(value);
    } catch (const std::bad_alloc&) {
        field.clear();
        MORVIKA_LOG("LOG   CSharesData::%s() %s \n", setter, kNoMemory);
    }
}

}  // namespace

CSharesData::CSharesData(const CSharesData& other) : CHalvoTransData(other)
{
    *this = other;
}

CSharesData& CSharesData::operator=(const CSharesData& other)
{
    if (this == &other) return *this;
    SetType(other.GetType());
    SetSubType(other.GetSubType());
    m_dwGroupId = other.m_dwGroupId;
    m_dwUserId = other.m_dwUserId;
    m_dwAvailable = other.m_dwAvailable;
    m_dwAttribute = other.m_dwAttribute;
    for (std::size_t i = 0; i < kReservedWords; ++i) m_dwReserved[i] = other.m_dwReserved[i];
    m_strReserved1.clear();
    m_strReserved2.clear();
    m_strUserName = other.m_strUserName;
    m_strFileName = other.m_strFileName;
    m_strFilePath = other.m_strFilePath;
    m_strVirtualPath = other.m_strVirtualPath;
    m_dwFileSize = other.m_dwFileSize;
    return *this;
}

void CSharesData::TakeReservedTexts(CSharesData& from)
{
    m_strReserved1 = std::move(from.m_strReserved1);
    m_strReserved2 = std::move(from.m_strReserved2);
}

int CSharesData::Init(const std::string& path, const CUserInformation& localUser)
{
    try {
        const std::size_t slash = path.rfind('/');
        SetFileName(slash == std::string::npos ? path : path.substr(slash + 1));
        SetFilePath(slash == std::string::npos ? path : path.substr(0, slash));
    } catch (const std::bad_alloc&) {
        MORVIKA_LOG("LOG   CSharesData::Init() %s \n", kNoMemory);
        return 1;
    }
    // Opened for its size only; a folder or a device is not a file that can be offered.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    bool opened = false;
    if (fd >= 0) {
        struct stat st {};
        const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        if (!regular || st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
            ::close(fd);
            return 1;
        }
        m_dwFileSize = static_cast<std::uint32_t>(st.st_size);
        m_dwAvailable = 1;
        ::close(fd);
        opened = true;
    }
    m_dwGroupId = localUser.GetGroupId();
    m_dwUserId = localUser.GetUserId();
    SetUserName(localUser.GetUserName());
    return opened ? 0 : 1;
}

int CSharesData::CheckLocalFile(std::uint32_t userId, std::uint32_t groupId) const
{
    if (!IsOwner(userId, groupId)) return -1;
    const int fd = ::open(GetFullPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    ::close(fd);
    return 1;
}

std::string CSharesData::GetFileSizeText() const
{
    return std::to_string(static_cast<std::int32_t>(m_dwFileSize));
}

std::string CSharesData::GetFullPath() const
{
    return m_strFilePath + "/" + m_strFileName;
}

std::string CSharesData::GetAttributeText() const
{
    // Translated where the list shows it.
    return m_dwAttribute == 1 ? QT_TRANSLATE_NOOP("CSharesListDlg", "読み取り専用") : "";
}

void CSharesData::SetUserName(std::string_view name)
{
    SetText(m_strUserName, name, "SetUserName");
}

void CSharesData::SetFileName(std::string_view name)
{
    SetText(m_strFileName, name, "SetFileName");
}

void CSharesData::SetFilePath(std::string_view path)
{
    SetText(m_strFilePath, path, "SetFilePath");
}

void CSharesData::SetFileVirtualPath(std::string_view path)
{
    SetText(m_strVirtualPath, path, "SetFileVirtualPath");
}

void CSharesData::SerializeFields(CTransBlock& block) const
{
    AppendU32(block, m_dwGroupId);
    AppendU32(block, m_dwUserId);
    AppendU32(block, m_dwAvailable);
    AppendU32(block, m_dwAttribute);
    for (const std::uint32_t word : m_dwReserved) AppendU32(block, word);
    AppendText(block, m_strReserved1);
    AppendText(block, m_strReserved2);
    AppendText(block, m_strUserName);
    AppendText(block, m_strFileName);
    AppendText(block, m_strFilePath);
    AppendText(block, m_strVirtualPath);
    AppendU32(block, m_dwFileSize);
}

bool CSharesData::DeserializeFields(CTransBlock& block)
{
    bool ok = PopU32(block, m_dwFileSize) && PopText(block, m_strVirtualPath) && PopText(block, m_strFilePath) &&
              PopText(block, m_strFileName) && PopText(block, m_strUserName) && PopText(block, m_strReserved2) &&
              PopText(block, m_strReserved1);
    for (std::size_t i = kReservedWords; ok && i > 0; --i) ok = PopU32(block, m_dwReserved[i - 1]);
    return ok && PopU32(block, m_dwAttribute) && PopU32(block, m_dwAvailable) && PopU32(block, m_dwUserId) &&
           PopU32(block, m_dwGroupId);
}

void CSharesData::Serialize(CTransBlock& block) const
{
    CHalvoTransData::Serialize(block);
    SerializeFields(block);
}

bool CSharesData::Deserialize(CTransBlock& block)
{
    // Into a copy, so that a block that fails halfway leaves this record as it was.
    CSharesData decoded(GetType());
    if (!decoded.DeserializeFields(block) || !CHalvoTransData::Deserialize(block)) return false;
    const std::uint32_t type = GetType();
    *this = decoded;
    TakeReservedTexts(decoded);
    SetType(type);
    return true;
}

CSharesFileObject::CSharesFileObject(const CSharesData& record) : CSharesData(record)
{
    SetType(TYPE_SHARES_FILE);
}

void CSharesFileObject::SetFileData(const std::uint8_t* bytes, std::size_t count)
{
    try {
        m_content.assign(bytes, bytes + count);
        m_bHasContent = true;
    } catch (const std::bad_alloc&) {
        std::vector<std::uint8_t>().swap(m_content);
        m_bHasContent = false;
        MORVIKA_LOG("LOG   CSharesFileObject::SetFileData() %s \n", kNoMemory);
    }
}

int CSharesFileObject::ReadFileData(std::size_t limit)
{
    std::vector<std::uint8_t>().swap(m_content);
    m_bHasContent = false;
    SetFileSize(0);
    const int fd = ::open(GetFullPath().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 1;
    struct stat st {};
    std::vector<std::uint8_t> bytes;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
              static_cast<std::uint64_t>(st.st_size) <= limit;
    if (ok && st.st_size > 0) {
        try {
            bytes.resize(static_cast<std::size_t>(st.st_size));
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        std::size_t got = 0;
        while (ok && got < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = false;  // failed, or shrank while being read
                break;
            }
            got += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    if (!ok || bytes.empty()) return ok ? 0 : 1;
    SetFileSize(static_cast<std::uint32_t>(bytes.size()));
    m_content = std::move(bytes);
    m_bHasContent = true;
    return 0;
}

int CSharesFileObject::StoreLocalCopy(const std::string& tempFolder)
{
    if (!m_bHasContent || m_content.size() < GetFileSize()) return 1;
    const auto folder =
        morvika::shares::StoreCopy(tempFolder, GetUserName(), GetFileName(), m_content.data(), GetFileSize());
    if (!folder) return 1;
    SetFileVirtualPath(*folder);
    return 0;
}

void CSharesFileObject::Serialize(CTransBlock& block) const
{
    CHalvoTransData::Serialize(block);
    SerializeFields(block);
    // The content is appended whole and followed by small fields: room for all of it at
    // once, so the large block is neither moved nor doubled on the way.
    ReserveBuffer(block,
                  m_content.size() + 4 + 4 * kReservedWords2 + m_strReserved3.size() + 5 + m_strReserved4.size() + 5);
    AppendBytes(block, m_content.data(), m_content.size());
    for (const std::uint32_t word : m_dwReserved2) AppendU32(block, word);
    AppendText(block, m_strReserved3);
    AppendText(block, m_strReserved4);
}

bool CSharesFileObject::Deserialize(CTransBlock& block)
{
    CSharesFileObject decoded;
    bool ok = PopText(block, decoded.m_strReserved4) && PopText(block, decoded.m_strReserved3);
    for (std::size_t i = kReservedWords2; ok && i > 0; --i) ok = PopU32(block, decoded.m_dwReserved2[i - 1]);
    const std::uint8_t* content = nullptr;
    std::uint32_t count = 0;
    if (!ok || !PopBytes(block, content, count)) return false;
    decoded.SetFileData(content, count);
    if (!decoded.DeserializeFields(block) || !CHalvoTransData::PopHeader(block)) return false;
    const std::uint32_t type = GetType();
    std::vector<std::uint8_t> bytes = std::move(decoded.m_content);  // not copied twice
    *this = decoded;
    TakeReservedTexts(decoded);
    m_content = std::move(bytes);
    SetType(type);
    return true;
}
