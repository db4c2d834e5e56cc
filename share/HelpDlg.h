#pragma once
// The help pop-up: one explanatory text on a yellow note, gone with the next click or key.

#include <QDialog>

class QLabel;

class CHelpDlg : public QDialog {
    Q_OBJECT
public:
    explicit CHelpDlg(const QString& text, QWidget* parent = nullptr);
    QString Text() const;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* m_pText;
};
