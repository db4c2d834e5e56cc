#include "app/AddressData.h"

#include <algorithm>
#include <mutex>

namespace {

std::recursive_mutex& AddressBookLock()
{
    static std::recursive_mutex lock;
    return lock;
}

// Decodes one UTF-8 sequence at the start of text; size gets its length in bytes.
char32_t DecodeOne(std::string_view text, std::size_t& size)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size = 1;
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0xDC00 + lead;
    }
    if (text.size() < length) {
        return 0xDC00 + lead;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0xDC00 + lead;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0xDC00 + lead;
    }
    size = length;
    return value;
}

std::u32string Decode(std::string_view text)
{
    std::u32string result;
    while (!text.empty()) {
        std::size_t size = 1;
        result.push_back(DecodeOne(text, size));
        text.remove_prefix(size);
    }
    return result;
}

}  // namespace

char32_t FirstCharacter(std::string_view text)
{
    if (text.empty()) {
        return 0;
    }
    std::size_t size = 1;
    return DecodeOne(text, size);
}

const std::string_view CAddressDataList::kAllTabCharacters =
    "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわん"
    "アイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨラリルレロワン"
    "がぎぐげござじずぜぞだぢづでどばびぶべぼぱぴぷぺぽぁぃぅぇぉゃゅょ"
    "ガギグゲゴザジズゼゾダヂヅデドバビブベボパピプペポァィゥェォャュョ"
    "ａｂｃｄｅｆｇｈｉｊｋｌｎｍｏｐｑｒｓｔｕｖｗｘｙｚ"
    "ＡＢＣＤＥＦＧＨＩＪＫＬＮＭＯＰＱＲＳＴＵＶＷＸＹＺ";

CAddressDataList::CAddressDataList(const CAddressDataList& other)
{
    std::lock_guard lock(AddressBookLock());
    m_entries = other.m_entries;
}

CAddressDataList& CAddressDataList::operator=(const CAddressDataList& other)
{
    std::lock_guard lock(AddressBookLock());
    if (this != &other) {
        m_entries = other.m_entries;
    }
    return *this;
}

void CAddressDataList::Clear()
{
    std::lock_guard lock(AddressBookLock());
    m_entries.clear();
}

bool CAddressDataList::IsEmpty() const
{
    std::lock_guard lock(AddressBookLock());
    return m_entries.empty();
}

std::size_t CAddressDataList::Count() const
{
    std::lock_guard lock(AddressBookLock());
    return m_entries.size();
}

void CAddressDataList::PushBack(const CAddressData& entry)
{
    std::lock_guard lock(AddressBookLock());
    m_entries.push_back(entry);
}

bool CAddressDataList::PopFront(CAddressData& entry)
{
    std::lock_guard lock(AddressBookLock());
    if (m_entries.empty()) {
        return false;
    }
    entry = m_entries.front();
    m_entries.erase(m_entries.begin());
    return true;
}

CAddressData* CAddressDataList::Find(std::int32_t id)
{
    std::lock_guard lock(AddressBookLock());
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [id](const auto& e) { return e.m_nId == id; });
    return it == m_entries.end() ? nullptr : &*it;
}

void CAddressDataList::Remove(std::int32_t id)
{
    std::lock_guard lock(AddressBookLock());
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [id](const auto& e) { return e.m_nId == id; });
    if (it != m_entries.end()) {
        m_entries.erase(it);
    }
}

CAddressDataList CAddressDataList::Select(std::string_view characterSet) const
{
    const bool symbols = characterSet.empty();
    const std::u32string set = Decode(symbols ? kAllTabCharacters : characterSet);
    CAddressDataList result;
    std::lock_guard lock(AddressBookLock());
    for (const CAddressData& entry : m_entries) {
        const char32_t key = FirstCharacter(entry.m_strUserNameSort);
        const bool inSet = key != 0 && set.find(key) != std::u32string::npos;
        if (inSet != symbols) {
            result.m_entries.push_back(entry);
        }
    }
    return result;
}

std::vector<CAddressData> CAddressDataList::Entries() const
{
    std::lock_guard lock(AddressBookLock());
    return m_entries;
}
