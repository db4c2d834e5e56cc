// Stored settings values of any type and content: the decoders answer a value or "absent",
// and what they accept re-encodes to the same bytes. Also the reading's first character and
// the index tab selection built on it.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/AddressData.h"
#include "app/SettingsValue.h"

namespace {

void Check(bool condition)
{
    if (!condition) std::abort();
}

void DecodeAll(const QVariant& value)
{
    (void)SettingsValue::DecodeInt(value);
    (void)SettingsValue::DecodeText(value);
    if (const auto rect = SettingsValue::DecodeRect(value)) {
        Check(SettingsValue::EncodeRect(*rect) == value.toByteArray());
    }
    if (const auto number = SettingsValue::DecodeBinaryInt(value)) {
        Check(SettingsValue::EncodeBinaryInt(*number) == value.toByteArray());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString text = QString::fromUtf8(bytes);
    DecodeAll(QVariant(bytes));
    DecodeAll(QVariant(text));
    DecodeAll(QVariant(text.split(QLatin1Char(','))));
    if (const auto number = SettingsValue::DecodeInt(QVariant(text))) {
        Check(SettingsValue::DecodeInt(QVariant(*number)) == number);
    }

    const std::string reading(reinterpret_cast<const char*>(data), size);
    (void)FirstCharacter(reading);
    CAddressDataList book;
    CAddressData entry;
    entry.m_strUserNameSort = reading;
    book.PushBack(entry);
    const std::size_t inTabs = book.Select(CAddressDataList::kAllTabCharacters).Count();
    const std::size_t inSymbols = book.Select("").Count();
    Check(inTabs + inSymbols == 1);  // every entry is listed under exactly one kind of tab
    (void)book.Select(reading);
    return 0;
}
