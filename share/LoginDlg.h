#pragma once
// The login dialog: the address book under two rows of index tabs (kana and letters), the
// address, password and comment to connect with, and the book's editing buttons.

#include <QTreeWidget>

#include <array>
#include <string>
#include <vector>

#include "app/AddressData.h"
#include "ui/DlgMorvika.h"

class CHalvoApp;
class CTabWnd;
class QLineEdit;
class QListWidget;
class QPushButton;

// A session another user announces on the LAN.
struct NearbySession {
    std::string user;
    std::string address;  // host:port to join
};

// The address list: a report view whose row clicks go to its owner with the row and the
// entry id (WM_ADDRESS_ROW_CLICK), and whose name header sorts by the reading.
class CAddressListCtrl : public QTreeWidget {
    Q_OBJECT
public:
    static constexpr int WM_ADDRESS_ROW_CLICK = 0x8259;
    static constexpr int kReadingColumn = 4;

    explicit CAddressListCtrl(QWidget* parent = nullptr);
    // Sorts the rows by the reading, comparing bytes; each call reverses the direction,
    // the first sorting in descending order.
    void SortByReading();
    std::int32_t RowId(int row) const;

signals:
    void rowClicked(int row, std::int32_t id);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    bool m_bAscending = true;
};

class CLoginDlg : public CDlgMorvika {
    Q_OBJECT
public:
    static constexpr int kTabsPerRow = 10;

    CLoginDlg(CHalvoApp& app, QWidget* parent = nullptr);

    // Results after OK.
    const std::string& Address() const { return m_strAddress; }
    const std::string& Password() const { return m_strPassword; }
    const std::string& Comment() const { return m_strComment; }

    CAddressListCtrl* List() const { return m_pList; }
    std::int32_t ClickedId() const { return m_nClickedId; }
    // The characters of a tab's entries ("" for the symbols tab); row 0 kana, row 1 letters.
    static const char* TabCharacters(int row, int index);
    static const char* TabCaption(int row, int index);

    // Fills the list with the entries of the tab that hosts it.
    void FillList();
    void OnRowClick(int row, std::int32_t id);
    void OnNew();
    void OnEdit();
    void OnDelete();
    void OnMail();
    void ShowRow(int row);

    // The sessions found on the LAN ("近くのユーザ"); choosing one fills in its address.
    static constexpr int kNearbyListId = 1090;
    static constexpr int kNearbyAddId = 1091;
    void SetNearby(const std::vector<NearbySession>& sessions);
    void OnNearbyChosen(int row);
    // Adds the chosen nearby session to the address book under its user name.
    void OnNearbyAdd();

    // Splits a mail command with "%1" for the link into program and parameters for one mail
    // address; false when there is nothing to run.
    static bool BuildMailLaunch(const std::string& command, const std::string& mailAddress, std::string& program,
                                std::string& parameters);

    void accept() override;

private:
    void Reload();

    CHalvoApp& m_app;
    CAddressDataList m_book;
    std::int32_t m_nClickedId = 0;
    std::string m_strAddress;
    std::string m_strPassword;
    std::string m_strComment;

    CAddressListCtrl* m_pList;
    std::array<std::array<CTabWnd*, kTabsPerRow>, 2> m_tabs{};
    std::array<int, 2> m_activeTab{0, 0};
    int m_nRow = 0;
    QLineEdit* m_pAddress;
    QLineEdit* m_pPassword;
    QLineEdit* m_pComment;
    QPushButton* m_pKana;
    QPushButton* m_pLetters;
    QListWidget* m_pNearby;
    std::vector<NearbySession> m_nearby;
};

// The editor of one address book entry (id 0: a new entry).
class CDlgAddressUpdate : public CDlgMorvika {
    Q_OBJECT
public:
    CDlgAddressUpdate(CAddressDataList& book, std::int32_t id, QWidget* parent = nullptr);
    void accept() override;

private:
    CAddressDataList& m_book;
    std::int32_t m_nId;
    std::array<QLineEdit*, 6> m_edits{};
};
