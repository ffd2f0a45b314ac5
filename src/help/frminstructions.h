// Instructions for use: five pages of text. The window opens on the page it last showed.
#pragma once

#include <QDialog>

class QTabWidget;

class TfrmInstruct : public QDialog {
    Q_OBJECT
public:
    enum Page { pgOverview = 0, pgCriteria, pgAttributes, pgOutput, pgResults };

    explicit TfrmInstruct(QWidget* parent = nullptr);

    int activePage() const;
    QTabWidget* pageControl() const { return PageControl1; }

private:
    QTabWidget* PageControl1 = nullptr;
};
