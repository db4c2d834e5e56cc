#pragma once
// The shared files window: one list of every participant's offers, with the commands that
// offer, withdraw, open and save them. The exchanges themselves are those of the message
// hub's CSharesExchange, which this window watches and commands: it draws the list, asks
// the user and waits for downloads.

#include <QDialog>
#include <QPointer>
#include <QString>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "session/PeerMessage.h"
#include "share/SharesExchange.h"

class CFtpStat;
class QAction;
class QListView;
class QMenu;
class QStackedWidget;
class QStandardItemModel;
class QTreeView;
class QAbstractItemView;

struct SharesDlgHost {
    std::string assetsFolder;                   // with a trailing "/"
    std::function<void()> playSound;            // the shared-files sound, when sounds are on
    std::function<void(const QString&)> event;  // control channel events
};

class CSharesListDlg : public QDialog, private ISharesObserver {
    Q_OBJECT
public:
    enum View { IconView = 0, ListView = 1, DetailsView = 2 };
    // How a download ended, for Open and Save.
    enum class Fetch { Local, Arrived, Cancelled, Missing };

    // The exchange outlives the window.
    CSharesListDlg(SharesDlgHost host, CSharesExchange& exchange, QWidget* parent = nullptr);
    ~CSharesListDlg() override;

    // Creates the window hidden, with its icons, columns and menus.
    void Create();
    // The shared files button: hide when visible, otherwise play the sound and show.
    void Toggle();

    CSharesExchange& Exchange() { return m_exchange; }
    void AnnounceShares();
    void Refresh();
    void SetView(View view);
    View CurrentView() const { return m_view; }

    // Ends a running download wait (program exit).
    void CloseTransfers();

    // The commands; each acts on the selected items in index order.
    void AddFiles(const QStringList& paths);
    void OnAdd();
    void OnPaste();
    void OnDelete();
    void OnOpen();
    void OnSave();
    void OnAppExit();

    // Selects exactly the items with this file name; false when there is none.
    bool SelectByName(const QString& fileName);
    QStringList SelectedNames() const;
    CFtpStat* WaitDialog() const;
    QAbstractItemView* CurrentItemView() const;
    // The save dialog's answer for the next save (empty: cancelled), instead of asking.
    void AnswerNextSave(std::optional<QString> path) { m_nextSavePath = std::move(path); }
    // Replaces the desktop's "open" (tests).
    void SetOpener(std::function<bool(const QString&)> opener) { m_opener = std::move(opener); }
    // Called after every Open and Save of one item: file name, local path or destination
    // (empty when nothing was opened or copied) and whether the wait was cancelled.
    std::function<void(const QString&, const QString&, bool)> onItemDone;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void accept() override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // ISharesObserver
    void OnSharesChanged() override { Refresh(); }
    void OnDownloadProgress(std::uint32_t received, std::uint32_t total) override;
    void OnFileArrived(const CSharesFileObject& file) override;
    void OnOwnerLeft(std::uint32_t userId, std::uint32_t groupId) override;

    void BuildMenus();
    void LoadImageLists();
    void ShowContextMenu(QAbstractItemView* view, const QPoint& at);
    // Requests the record's file when no copy is stored and waits; the record is refreshed.
    Fetch FetchCopy(CSharesData& record);
    void FileCpye(const CSharesData& record);
    void Event(const QString& line) const;
    // A message box over the window (on its own while the window is hidden).
    void Notice(const QString& text);

    SharesDlgHost m_host;
    CSharesExchange& m_exchange;
    std::mutex m_viewLock;
    QStandardItemModel* m_pModel = nullptr;
    QStackedWidget* m_pStack = nullptr;
    QListView* m_pList = nullptr;
    QTreeView* m_pDetails = nullptr;
    QMenu* m_pItemMenu = nullptr;
    QMenu* m_pSpaceMenu = nullptr;
    QAction* m_viewActions[3] = {};
    QPointer<CFtpStat> m_pWait;
    View m_view = IconView;
    std::optional<CSharesData> m_awaited;
    // Why the answer for the awaited file came without it; empty when it came whole.
    std::optional<ServeFailure> m_awaitedFailure;
    bool m_bAwaitedAnswered = false;
    std::optional<QString> m_nextSavePath;
    std::function<bool(const QString&)> m_opener;
    bool m_bCreated = false;
};
