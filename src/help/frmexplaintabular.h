// The explanation of the three report modes: one page per mode, each with its text and a
// sample of what that mode produces.
#pragma once

#include <QDialog>

class QTabWidget;

class TfrmExplain : public QDialog {
    Q_OBJECT
public:
    enum Page { pgTabular = 0, pgTabularCross = 1, pgNonTabular = 2 };

    explicit TfrmExplain(QWidget* parent = nullptr);

    // Makes `page` the active page; the window keeps it until the next call.
    void setActivePage(int page);
    int activePage() const;
    QTabWidget* pageControl() const { return PageControl1; }

private:
    QTabWidget* PageControl1 = nullptr;
};
