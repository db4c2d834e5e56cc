#pragma once
// The address book in memory: entries and the locked list of them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One address book entry. Texts are UTF-8.
class CAddressData {
public:
    std::int32_t m_nId = 0;  // 1-based position in the stored book; 0 until saved and reloaded
    std::int32_t m_nReserved1 = 0;
    std::int32_t m_nReserved2 = 0;
    std::string m_strUserNameSort;  // reading of the name; its first character picks the index tab
    std::string m_strUserName;
    std::string m_strMorvikaAddress;
    std::string m_strMailAddress;
    std::string m_strReserved;
    std::string m_strPassword;
    std::string m_strComment;

    friend bool operator==(const CAddressData&, const CAddressData&) = default;
};

// The address book: entries by value in insertion order. One lock shared by every list of the
// process guards each operation, the copy of a whole list included.
class CAddressDataList {
public:
    // Characters of every kana and letter tab; an entry whose reading starts with none of
    // them belongs to the symbols tab.
    static const std::string_view kAllTabCharacters;

    CAddressDataList() = default;
    CAddressDataList(const CAddressDataList& other);
    CAddressDataList& operator=(const CAddressDataList& other);

    void Clear();
    bool IsEmpty() const;
    std::size_t Count() const;
    void PushBack(const CAddressData& entry);
    // Copies out the first entry and removes it; false when the list is empty.
    bool PopFront(CAddressData& entry);
    // The first entry with this id, inside the list so that it can be edited in place; null when none.
    CAddressData* Find(std::int32_t id);
    void Remove(std::int32_t id);
    // The entries of one index tab: with a set of characters, those whose reading starts with one
    // of them; with an empty set, those whose reading starts with none of kAllTabCharacters.
    CAddressDataList Select(std::string_view characterSet) const;

    std::vector<CAddressData> Entries() const;

private:
    std::vector<CAddressData> m_entries;
};

// The first character of a UTF-8 text as a code point; 0 for an empty text. A byte
// that does not start a valid UTF-8 sequence stands for itself (0xDC00 + byte), so it matches no tab.
char32_t FirstCharacter(std::string_view text);
