// The about box. Its picture, product text and caption are set on every showing.
#pragma once

#include <QDialog>

class QLabel;

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    // `mainWindow` lends its icon to the picture each time the box is shown.
    explicit TfrmAbout(QWidget* mainWindow = nullptr);

    QLabel* productLabel() const { return ProductName; }
    QLabel* programIcon() const { return ProgramIcon; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* mainWindow_;
    QLabel* ProgramIcon = nullptr;
    QLabel* ProductName = nullptr;
};
