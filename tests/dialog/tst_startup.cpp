// The dialog as it opens: its pickers, lists and buttons, the language table,
// the folder choice, the disk list's order and the program's options.
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>

#include "TarvikApp.h"
#include "core/language.h"
#include "dialog_harness.h"

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    // The dialog opens on the 24 hours up to the clock's now (2024-03-02
    // 10:20:30) with the first disk and channel; its texts come from the
    // "language" section of the language table only, never the folder's.
    void opensOnTheLastDayInTheTablesLanguage() {
        Session s(1);
        const std::string ini = s.dir.file("language.ini");
        SetLanguageFile(ini);
        std::ofstream(ini) << "[other]\nSearch=Suchen\n";
        CTestDlg dlg(DiskCount());
        QCOMPARE(dlg.Control("IDC_SEARCH")->text(), QString("Search"));
        QDateEdit* start = dlg.Control<QDateEdit>("IDC_START_DATE");
        QCOMPARE(start->text(), QString("2024-03-01"));  // years of four digits, 1970 to 2099
        QCOMPARE(dlg.Control<QTimeEdit>("IDC_START_TIME")->time(), QTime(10, 20, 30));
        QCOMPARE(dlg.Control<QDateEdit>("IDC_END_DATE")->date(), QDate(2024, 3, 2));
        QCOMPARE(dlg.Control<QTimeEdit>("IDC_END_TIME")->time(), QTime(10, 20, 30));
        start->setDate(QDate(1969, 12, 31));
        QCOMPARE(start->date(), QDate(1970, 1, 1));
        start->setDate(QDate(2100, 1, 1));
        QCOMPARE(start->date(), QDate(2099, 12, 31));
        QCOMPARE(dlg.Control<QComboBox>("IDC_DISK")->currentText(), QString("Disk1"));
        QCOMPARE(dlg.Control<QComboBox>("IDC_CHANNEL")->currentText(), QString("Channel 01"));
        QCOMPARE(dlg.EnabledButtons(), (QStringList{"IDC_BROWSE", "IDC_SEARCH"}));
        // The folder starts at home; a cancelled choice keeps the folder.
        const QLineEdit* path = dlg.Control<QLineEdit>("IDC_PATH");
        QCOMPARE(path->text(), QDir::homePath());
        dlg.folderAnswer = "/srv/copies";
        dlg.Click("IDC_BROWSE");
        dlg.folderAnswer.clear();
        dlg.Click("IDC_BROWSE");
        QCOMPARE(path->text(), QString("/srv/copies"));

        QCOMPARE(dlg.windowTitle(), QString("Tarvik - read-only"));

        std::ofstream(ini) << "[language]\nSearch=Suchen\nDisk=Platte\nMessage=Meldung\nNo record.=Keine Aufnahme.\n"
                           << "read-only=schreibgeschützt\n"
                           << QDir::homePath().toStdString() << "=/tmp\n";
        CTestDlg de(DiskCount());
        QCOMPARE(de.Control("IDC_SEARCH")->text(), QString("Suchen"));
        QCOMPARE(de.Control<QLineEdit>("IDC_PATH")->text(), QDir::homePath());
        QCOMPARE(de.windowTitle(), QString("Tarvik - schreibgeschützt"));
        de.PickDay(QDate(2024, 3, 1));
        de.Click("IDC_SEARCH");
        QCOMPARE(de.Column(1), QStringList{"Platte1"});
        de.PickDay(QDate(2024, 3, 2));
        de.Click("IDC_SEARCH");
        QCOMPARE(de.messages.size(), size_t(1));
        QCOMPARE(de.messages[0].caption + "|" + de.messages[0].text, QString("Meldung|Keine Aufnahme."));
        SetLanguageFile("");
    }

    // With ten or more disks the list keeps the disks' order: Disk10 is at
    // position 9 and searching there searches the tenth disk. Nothing to
    // show has its messages; a disk that is no recorder disk says why.
    void diskListPositionIsDiskIndex() {
        Searched s(2, 9);  // the first disk is blank: not a recorder disk, and said so
        QCOMPARE(s.dlg.MessageTexts().size(), 1);
        QVERIFY(s.dlg.MessageTexts()[0].startsWith("This is not a recorder disk:\n"));
        QVERIFY(s.dlg.MessageTexts()[0].endsWith("blank0: no recorder partition table"));
        QCOMPARE(s.dlg.List()->topLevelItemCount(), 0);
        QComboBox* list = s.dlg.Control<QComboBox>("IDC_DISK");
        QCOMPARE(list->count(), 10);
        // Beside the picker: the selected disk's recorded span.
        const QLabel* span = s.dlg.Control<QLabel>("IDC_SPAN");
        QCOMPARE(span->text(), QString("Nothing recorded"));
        list->setCurrentIndex(9);
        QVERIFY2(span->text().startsWith("Recorded: 2024-03-01 ") && span->text().contains(" -\n2024-03-0"),
                 qUtf8Printable(span->text()));
        s.dlg.Click("IDC_SEARCH");
        QCOMPARE(s.dlg.Column(1), (QStringList{"Disk10", "Disk10"}));
        CTestDlg none(0);  // start-up found no disk
        none.Click("IDC_SEARCH");
        QCOMPARE(none.messages[0].caption + "|" + none.messages[0].text, QString("Message|No record disk."));
    }

    void programOptions() {
        StartupOptions options;
        QString error;
        QCOMPARE(CTarvikApp::ParseOptions({"tarvik-gui", "-D", "a.img", "--device", "/dev/sdb", "--read-only"}, &options,
                                          &error),
                 CTarvikApp::Launch::Dialog);
        QCOMPARE(options.diskPaths, (std::vector<std::string>{"a.img", "/dev/sdb"}));
        QVERIFY(!options.repair);
        QCOMPARE(CTarvikApp::ParseOptions({"tarvik-gui", "--repair"}, &options, &error), CTarvikApp::Launch::Dialog);
        QVERIFY(options.repair);
        QCOMPARE(CTarvikApp::ParseOptions({"tarvik-gui", "a.img"}, &options, &error), CTarvikApp::Launch::Error);
        QCOMPARE(CTarvikApp::ParseOptions({"tarvik-gui", "--repair", "--read-only"}, &options, &error),
                 CTarvikApp::Launch::Error);
        // The program itself: help on stdout and status 0, even without a
        // display; a usage error 2, with the help on stderr.
        for (const auto& [option, status] : {std::pair{"--help", 0}, std::pair{"-h", 0}, std::pair{"--quiet", 2}}) {
            QProcess gui;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            if (status == 0) env.insert("QT_QPA_PLATFORM", "xcb");
            env.remove("DISPLAY");
            gui.setProcessEnvironment(env);
            gui.start(TARVIK_BINARY_DIR "/tarvik-gui", {option});
            QVERIFY(gui.waitForFinished(20000));
            QCOMPARE(gui.exitCode(), status);
            const QByteArray text = status == 0 ? gui.readAllStandardOutput() : gui.readAllStandardError();
            QVERIFY2(text.contains("--repair") && text.contains("repairs stay in memory"), text.constData());
        }
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
