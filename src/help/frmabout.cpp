#include "help/frmabout.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TfrmAbout::TfrmAbout(QWidget* mainWindow) : QDialog(nullptr), mainWindow_(mainWindow) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(398, 211);

    auto* layout = new QVBoxLayout(this);

    auto* imagePanel = new QFrame(this);
    imagePanel->setObjectName(QStringLiteral("Panel1"));
    imagePanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* imageLayout = new QHBoxLayout(imagePanel);
    ProgramIcon = new QLabel(imagePanel);
    ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
    ProgramIcon->setFixedSize(40, 40);
    ProgramIcon->setAlignment(Qt::AlignCenter);
    imageLayout->addWidget(ProgramIcon);

    auto* productPanel = new QFrame(imagePanel);
    productPanel->setObjectName(QStringLiteral("Panel2"));
    productPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* productLayout = new QHBoxLayout(productPanel);
    ProductName = new QLabel(productPanel);
    ProductName->setObjectName(QStringLiteral("ProductName"));
    ProductName->setAlignment(Qt::AlignCenter);
    QFont font = ProductName->font();
    font.setPointSize(font.pointSize() + 4);
    font.setBold(true);
    ProductName->setFont(font);
    productLayout->addWidget(ProductName);
    imageLayout->addWidget(productPanel, 1);
    layout->addWidget(imagePanel, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(ok);
    buttons->addStretch();
    layout->addLayout(buttons);
}

void TfrmAbout::showEvent(QShowEvent* event) {
    // In this order: the picture, the product text, the caption.
    const QIcon icon = mainWindow_ ? mainWindow_->windowIcon() : windowIcon();
    ProgramIcon->setPixmap(icon.pixmap(32, 32));
    ProductName->setText(QStringLiteral("Korvanex Verion 1.6"));
    setWindowTitle(QStringLiteral("About Korvanex"));
    QDialog::showEvent(event);
}
