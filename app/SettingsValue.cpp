#include "app/SettingsValue.h"

#include <QString>
#include <QStringList>

namespace SettingsValue {
namespace {

std::int32_t ReadLittleEndian(const char* bytes)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    }
    return static_cast<std::int32_t>(value);
}

void AppendLittleEndian(QByteArray& out, std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out.append(static_cast<char>((bits >> (8 * i)) & 0xFF));
    }
}

bool IsBinary(const QVariant& value)
{
    return value.metaType().id() == QMetaType::QByteArray;
}

}  // namespace

std::optional<std::int32_t> DecodeInt(const QVariant& value)
{
    bool ok = false;
    qlonglong number = 0;
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort: number = value.toLongLong(&ok); break;
    case QMetaType::ULongLong:
    case QMetaType::ULong: {
        const qulonglong unsignedNumber = value.toULongLong(&ok);
        ok = ok && unsignedNumber <= static_cast<qulonglong>(INT32_MAX);
        number = static_cast<qlonglong>(unsignedNumber);
        break;
    }
    case QMetaType::QString: number = value.toString().trimmed().toLongLong(&ok, 10); break;
    default: return std::nullopt;
    }
    if (!ok || number < INT32_MIN || number > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(number);
}

std::optional<std::string> DecodeText(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::QString: return value.toString().toStdString();
    case QMetaType::QStringList:
        // An unquoted comma in a hand-edited file splits the text; keep it whole.
        return value.toStringList().join(QStringLiteral(", ")).toStdString();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: return value.toString().toStdString();
    default: return std::nullopt;
    }
}

std::optional<WindowRect> DecodeRect(const QVariant& value)
{
    if (!IsBinary(value)) {
        return std::nullopt;
    }
    const QByteArray bytes = value.toByteArray();
    if (bytes.size() != 16) {
        return std::nullopt;
    }
    const char* data = bytes.constData();
    return WindowRect{ReadLittleEndian(data), ReadLittleEndian(data + 4), ReadLittleEndian(data + 8),
                      ReadLittleEndian(data + 12)};
}

std::optional<std::int32_t> DecodeBinaryInt(const QVariant& value)
{
    if (!IsBinary(value)) {
        return std::nullopt;
    }
    const QByteArray bytes = value.toByteArray();
    if (bytes.size() != 4) {
        return std::nullopt;
    }
    return ReadLittleEndian(bytes.constData());
}

QByteArray EncodeRect(const WindowRect& rect)
{
    QByteArray out;
    out.reserve(16);
    AppendLittleEndian(out, rect.left);
    AppendLittleEndian(out, rect.top);
    AppendLittleEndian(out, rect.right);
    AppendLittleEndian(out, rect.bottom);
    return out;
}

QByteArray EncodeBinaryInt(std::int32_t value)
{
    QByteArray out;
    out.reserve(4);
    AppendLittleEndian(out, value);
    return out;
}

QVariant EncodeText(const std::string& text)
{
    return QString::fromStdString(text);
}

}  // namespace SettingsValue
