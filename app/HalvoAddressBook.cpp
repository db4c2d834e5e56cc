// CHalvoApp's address book store: "AddressBook/Indexs" entries in numbered sections.
#include <QSet>
#include <QSettings>
#include <QStringList>
#include <QString>

#include <algorithm>
#include <cstdio>

#include "app/AppPaths.h"
#include "app/HalvoApp.h"
#include "app/SettingsValue.h"

namespace {

constexpr int kMaxEntries = 65536;

QString EntrySection(int index)
{
    char section[40];
    std::snprintf(section, sizeof section, "AddressBook/Index%06d", index);
    return QString::fromLatin1(section);
}

struct StoredField {
    const char* name;
    std::string CAddressData::*member;
};

constexpr StoredField kFields[] = {
    {"UserNameSort", &CAddressData::m_strUserNameSort},
    {"UserName", &CAddressData::m_strUserName},
    {"MorvikaAddress", &CAddressData::m_strMorvikaAddress},
    {"MailAddress", &CAddressData::m_strMailAddress},
    {"Password", &CAddressData::m_strPassword},
    {"Comment", &CAddressData::m_strComment},
};

}  // namespace

void CHalvoApp::LoadAddressBook(CAddressDataList& list) const
{
    QSettings settings(QString::fromStdString(m_strSettingsFile), QSettings::NativeFormat);
    // A damaged count must not make the load run for ever.
    const int count = std::min(
        SettingsValue::DecodeInt(settings.value(QStringLiteral("AddressBook/Indexs"))).value_or(0), kMaxEntries);
    settings.beginGroup(QStringLiteral("AddressBook"));
    const QStringList stored = settings.childGroups();
    settings.endGroup();
    const QSet<QString> present(stored.begin(), stored.end());
    list.Clear();
    for (int index = 1; index <= count; ++index) {
        const QString section = EntrySection(index);
        CAddressData entry;
        entry.m_nId = index;
        if (!present.contains(section.mid(section.indexOf(QLatin1Char('/')) + 1))) {
            list.PushBack(entry);  // a missing section reads as an entry of empty strings
            continue;
        }
        for (const StoredField& field : kFields) {
            const QVariant value = settings.value(section + QLatin1Char('/') + QLatin1String(field.name));
            entry.*field.member = SettingsValue::DecodeText(value).value_or(std::string());
        }
        list.PushBack(entry);
    }
}

void CHalvoApp::SaveAddressBook(const CAddressDataList& list)
{
    CAddressDataList copy(list);
    AppPaths::MakePrivateFile(m_strSettingsFile);
    QSettings settings(QString::fromStdString(m_strSettingsFile), QSettings::NativeFormat);
    settings.setValue(QStringLiteral("AddressBook/Indexs"), static_cast<int>(copy.Count()));
    CAddressData entry;
    for (int index = 1; copy.PopFront(entry); ++index) {
        const QString section = EntrySection(index);
        for (const StoredField& field : kFields) {
            settings.setValue(section + QLatin1Char('/') + QLatin1String(field.name),
                              SettingsValue::EncodeText(entry.*field.member));
        }
    }
    settings.sync();
}
