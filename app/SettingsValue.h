#pragma once
// Conversions between stored settings values and the program's types. The settings file is
// outside data: every decoder accepts any value and answers "absent" for one it cannot read,
// so the caller falls back to its default.

#include <QByteArray>
#include <QVariant>

#include <cstdint>
#include <optional>
#include <string>

#include "app/WindowRect.h"

namespace SettingsValue {

// A 32-bit integer: an integer value or decimal text that fits in 32 bits.
std::optional<std::int32_t> DecodeInt(const QVariant& value);

// Text, returned as UTF-8.
std::optional<std::string> DecodeText(const QVariant& value);

// Binary data: exactly 16 bytes, four little-endian 32-bit integers.
std::optional<WindowRect> DecodeRect(const QVariant& value);

// Binary data: exactly 4 bytes, one little-endian 32-bit integer.
std::optional<std::int32_t> DecodeBinaryInt(const QVariant& value);

QByteArray EncodeRect(const WindowRect& rect);
QByteArray EncodeBinaryInt(std::int32_t value);
QVariant EncodeText(const std::string& text);

}  // namespace SettingsValue
