#include "AboutDlg.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "DialogUnits.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Tarvik");
    setFont(dlu::Font(font()));
    setFixedSize(dlu::X(235), dlu::Y(55));

    auto* icon = new QLabel(this);
    icon->setObjectName("IDR_MAINFRAME");
    const QRect iconRect = dlu::Rect(11, 17, 0, 0);
    icon->setGeometry(iconRect.x(), iconRect.y(), 32, 32);  // the system's icon size
    icon->setPixmap(QIcon(":/tarvik.png").pixmap(32, 32));

    auto* version = new QLabel("Tarvik Version 1.0", this);
    version->setObjectName("IDC_VERSION");
    version->setGeometry(dlu::Rect(40, 10, 119, 8));

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("IDOK");
    ok->setGeometry(dlu::Rect(178, 7, 50, 16));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
