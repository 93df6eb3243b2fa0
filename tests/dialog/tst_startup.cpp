// The dialog as it opens: its window, lists and pickers, the disk list's
// order, the language table, the About box, the folder choice and the
// program's disk options.
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QTimeEdit>

#include "AboutDlg.h"
#include "TarvikApp.h"
#include "core/language.h"
#include "core/startup.h"
#include "dialog_harness.h"

namespace {

QStringList Items(const QComboBox* combo) {
    QStringList texts;
    for (int i = 0; i < combo->count(); i++) texts << combo->itemText(i);
    return texts;
}

void WriteFile(const std::string& path, const char* text) {
    QFile f(QString::fromStdString(path));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

}  // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void init() { SetLanguageFile(""); }

    void opensOnTheLastDayWithFirstDiskAndChannel() {
        Session s;
        QVERIFY2(s.Start({SampleDay(1)}), s.Error().c_str());
        CTestDlg dlg(DiskCount());
        QCOMPARE(dlg.windowTitle(), QString("Tarvik"));
        // The window covers the 24 hours up to the clock's now (2024-03-02 10:20:30).
        QCOMPARE(dlg.Control<QDateEdit>("IDC_START_DATE")->date(), QDate(2024, 3, 1));
        QCOMPARE(dlg.Control<QTimeEdit>("IDC_START_TIME")->time(), QTime(10, 20, 30));
        QCOMPARE(dlg.Control<QDateEdit>("IDC_END_DATE")->date(), QDate(2024, 3, 2));
        QCOMPARE(dlg.Control<QTimeEdit>("IDC_END_TIME")->time(), QTime(10, 20, 30));

        const QComboBox* disks = dlg.Control<QComboBox>("IDC_DISK");
        QCOMPARE(Items(disks), QStringList{"Disk1"});
        QCOMPARE(disks->currentIndex(), 0);
        const QComboBox* channels = dlg.Control<QComboBox>("IDC_CHANNEL");
        QCOMPARE(channels->count(), 16);
        QCOMPARE(channels->itemText(0), QString("Channel 01"));
        QCOMPARE(channels->itemText(15), QString("Channel 16"));
        QCOMPARE(channels->currentIndex(), 0);

        const QTreeWidgetItem* heading = dlg.List()->headerItem();
        const QStringList headings = {"Index", "Disk Name", "Start Time", "End Time", "File Size"};
        const int widths[] = {50, 80, 120, 120, 100};
        for (int c = 0; c < 5; c++) {
            QCOMPARE(heading->text(c), headings[c]);
            QCOMPARE(dlg.List()->columnWidth(c), widths[c]);
        }
        const QProgressBar* progress = dlg.Control<QProgressBar>("IDC_PROGRESS");
        QCOMPARE(progress->minimum(), 0);
        QCOMPARE(progress->maximum(), 100);
        QCOMPARE(progress->value(), 0);
        const QLineEdit* path = dlg.Control<QLineEdit>("IDC_PATH");
        QCOMPARE(path->text(), QDir::homePath());
        QVERIFY(path->isReadOnly());
        // Nothing found yet, nothing running: only Search and "...".
        QCOMPARE(dlg.EnabledButtons(), (QStringList{"IDC_BROWSE", "IDC_SEARCH"}));
        for (const QPushButton* b : dlg.findChildren<QPushButton*>()) QVERIFY(!b->autoDefault() && !b->isDefault());

        // 331 x 270 dialog units at 6 x 13 pixels of base units; Search at
        // 187, 43, 47, 15.
        QCOMPARE(dlg.size(), QSize(497, 439));
        QCOMPARE(dlg.Button("IDC_SEARCH")->geometry(), QRect(281, 70, 71, 24));
    }

    // With ten or more disks the list keeps the disks' order: Disk10 is at
    // position 9 and searching there searches the tenth disk.
    void diskListPositionIsDiskIndex() {
        Session s;
        std::vector<std::vector<SampleRecording>> disks(10);
        disks[9] = SampleDay(2);
        QVERIFY2(s.Start(disks), s.Error().c_str());
        CTestDlg dlg(DiskCount());
        QComboBox* list = dlg.Control<QComboBox>("IDC_DISK");
        QCOMPARE(list->count(), 10);
        QCOMPARE(list->itemText(9), QString("Disk10"));
        SetWindow(dlg, "2024-03-01 00:00:00", "2024-03-01 23:59:59");
        list->setCurrentIndex(9);
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.Column(1), (QStringList{"Disk10", "Disk10"}));
        QVERIFY(dlg.messages.empty());
        list->setCurrentIndex(0);  // a blank disk
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.MessageTexts(), QStringList{"No record."});
        QCOMPARE(dlg.List()->topLevelItemCount(), 0);
    }

    void languageTable() {
        Session s;
        QVERIFY2(s.Start({SampleDay(1)}), s.Error().c_str());
        const std::string ini = s.Path("language.ini");
        SetLanguageFile(ini);
        WriteFile(ini, "[other]\nSearch=Suchen\n");
        {
            CTestDlg dlg(DiskCount());
            QCOMPARE(dlg.Button("IDC_SEARCH")->text(), QString("Search"));
        }
        WriteFile(ini,
                  "[language]\nTarvik=Tarvik DE\nSearch=Suchen\nDisk=Platte\nChannel=Kanal\nDisk Name:=Platte:\n"
                  "Index=Nr.\nMessage=Meldung\nNo record.=Keine Aufnahme.\n&About Tarvik...=Info\n"
                  "Previous Page=Vorherige Seite\n");
        CTestDlg dlg(DiskCount());
        QCOMPARE(dlg.windowTitle(), QString("Tarvik DE"));
        QCOMPARE(dlg.Button("IDC_SEARCH")->text(), QString("Suchen"));
        QCOMPARE(dlg.Button("IDC_DOWNLOAD")->text(), QString("Download"));
        // A caption longer than its button is set smaller, not cut.
        const QPushButton* prev = dlg.Button("IDC_PREV_PAGE");
        QCOMPARE(prev->text(), QString("Vorherige Seite"));
        QVERIFY(prev->font().pointSizeF() < dlg.font().pointSizeF());
        QVERIFY(QFontMetrics(prev->font()).horizontalAdvance(prev->text()) < prev->width());
        QStringList labels;
        for (const QLabel* l : dlg.findChildren<QLabel*>()) labels << l->text();
        QVERIFY2(labels.contains("Platte:"), qPrintable(labels.join('|')));
        QCOMPARE(dlg.Control<QComboBox>("IDC_DISK")->itemText(0), QString("Platte1"));
        QCOMPARE(dlg.Control<QComboBox>("IDC_CHANNEL")->itemText(15), QString("Kanal 16"));
        QCOMPARE(dlg.List()->headerItem()->text(0), QString("Nr."));
        // The download folder is a name, never a text to translate.
        QCOMPARE(dlg.Control<QLineEdit>("IDC_PATH")->text(), QDir::homePath());

        SetWindow(dlg, "2024-03-01 00:00:00", "2024-03-01 23:59:59");
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.Column(1), QStringList{"Platte1"});
        SetWindow(dlg, "2024-03-02 00:00:00", "2024-03-02 23:59:59");
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.messages.size(), size_t(1));
        QCOMPARE(dlg.messages[0].caption, QString("Meldung"));
        QCOMPARE(dlg.messages[0].text, QString("Keine Aufnahme."));

        // The About entry keeps its English text.
        QMenu menu;
        dlg.FillContextMenu(&menu);
        QCOMPARE(menu.actions().last()->text(), QString("&About Tarvik..."));
    }

    void contextMenuOpensTheAboutBox() {
        Session s;
        QVERIFY2(s.Start({{}}), s.Error().c_str());
        CTestDlg dlg(DiskCount());
        QMenu menu;
        dlg.FillContextMenu(&menu);
        const QList<QAction*> actions = menu.actions();
        QCOMPARE(actions.size(), 2);
        QVERIFY(actions[0]->isSeparator());
        actions[1]->trigger();
        QCOMPARE(dlg.aboutBoxes, 1);

        CAboutDlg about;
        QCOMPARE(about.windowTitle(), QString("About Tarvik"));
        QCOMPARE(about.size(), QSize(353, 89));
        QCOMPARE(about.findChild<QLabel*>("IDC_VERSION")->text(), QString("Tarvik Version 1.0"));
        QVERIFY(!about.findChild<QLabel*>("IDR_MAINFRAME")->pixmap().isNull());  // the icon resource is there
        QPushButton* ok = about.findChild<QPushButton*>("IDOK");
        QCOMPARE(ok->text(), QString("OK"));
        QVERIFY(ok->isDefault());
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    // "..." opens the chooser on the current folder; a cancelled choice
    // (empty answer) keeps the folder.
    void browseKeepsFolderWhenCancelled() {
        Session s;
        QVERIFY2(s.Start({{}}), s.Error().c_str());
        CTestDlg dlg(DiskCount());
        const QLineEdit* path = dlg.Control<QLineEdit>("IDC_PATH");
        dlg.folderAnswer = "/srv/copies";
        dlg.Click("IDC_BROWSE");
        QCOMPARE(dlg.folderStart, QDir::homePath());
        QCOMPARE(path->text(), QString("/srv/copies"));
        dlg.folderAnswer.clear();
        dlg.Click("IDC_BROWSE");
        QCOMPARE(dlg.folderStart, QString("/srv/copies"));
        QCOMPARE(path->text(), QString("/srv/copies"));
    }

    void diskOptions() {
        StartupOptions options;
        QString error;
        QVERIFY(CTarvikApp::ParseOptions({"tarvik-gui", "-D", "a.img", "--device", "/dev/sdb", "--read-only"}, &options,
                                         &error));
        QCOMPARE(options.diskPaths, (std::vector<std::string>{"a.img", "/dev/sdb"}));
        QVERIFY(options.readOnly);
        QVERIFY(CTarvikApp::ParseOptions({"tarvik-gui"}, &options, &error));
        QVERIFY(options.diskPaths.empty());
        QVERIFY(!options.readOnly);
        QVERIFY(!CTarvikApp::ParseOptions({"tarvik-gui", "--quiet"}, &options, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!CTarvikApp::ParseOptions({"tarvik-gui", "a.img"}, &options, &error));
        QVERIFY(!CTarvikApp::ParseOptions({"tarvik-gui", "-D"}, &options, &error));
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
