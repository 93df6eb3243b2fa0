// Downloads from the dialog: the folder tree with whole copies, the controls
// while a job runs, Cancel, and the question when the dialog is closed
// during a job. How failures are counted and told is the job's own test.
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>

#include "dialog_harness.h"

namespace {

constexpr int kWaitMs = 20000;

// The copy of recording `index` (from 0) and whether it holds exactly the
// recording's bytes.
std::string Copy(const Searched& s, size_t index) {
    return s.folder + "/Disk00_Part00/2024-03-01/001/" + s.dlg.Results().Items().at(index).record.entry.name;
}
bool Copied(const Searched& s, size_t index) {
    return ReadFile(Copy(s, index)) == layout_expected(s.recs[index], 0, Session::Bytes(index + 1));
}
bool Exists(const Searched& s, size_t index) { return QFile::exists(QString::fromStdString(Copy(s, index))); }

}  // namespace

class TestDownload : public QObject {
    Q_OBJECT
private slots:
    // Ticked recordings of every page are copied whole into
    // FOLDER/Disk00_Part00/2024-03-01/001/; the bar ends at 0 and the job
    // ends with "Download Completely!" and where its manifest and report
    // are. The report names the dialog and the search's clock offset.
    void downloadWritesTheTree() {
        Searched d(14);
        d.dlg.Control<QLineEdit>("IDC_CLOCK_OFFSET")->setText("1");
        d.dlg.Click("IDC_SEARCH");
        d.dlg.Tick(2);
        d.dlg.Click("IDC_NEXT_PAGE");
        d.dlg.Tick(1);  // record 14
        d.dlg.Click("IDC_DOWNLOAD");
        QTRY_VERIFY_WITH_TIMEOUT(!d.dlg.messages.empty(), kWaitMs);
        QCOMPARE(d.dlg.MessageTexts(),
                 QStringList{QString::fromStdString("Download Completely!\nThe copies' SHA-256 manifest and the job "
                                                    "report are in the download folder:\n" + d.folder)});
        QCOMPARE(d.dlg.messages[0].icon, QMessageBox::Information);
        QVERIFY(Copied(d, 2) && Copied(d, 13) && !Exists(d, 0));
        const std::vector<uint8_t> report = ReadFile(d.folder + "/tarvik-report.jsonl");
        const std::string job(report.begin(), std::find(report.begin(), report.end(), '\n'));
        QVERIFY2(job.find("\"version\":\"tarvik-gui ") != std::string::npos &&
                     job.find("\"clock_offset\":1,") != std::string::npos,
                 job.c_str());
        QCOMPARE(std::count(report.begin(), report.end(), '\n'), 3L);
        QCOMPARE(d.dlg.Control<QProgressBar>("IDC_PROGRESS")->value(), 0);
        QCOMPARE(d.dlg.EnabledButtons(),
                 (QStringList{"IDC_BROWSE", "IDC_DOWNLOAD", "IDC_PREV_PAGE", "IDC_SEARCH", "IDC_SELECT_ALL"}));
    }

    // While a job runs only Cancel and "..." are offered among the buttons
    // and the list is closed to ticks. Closing asks first: No keeps the
    // dialog and the job; Cancel then stops the worker (waiting for it)
    // without the completion message, and the copy never takes its name;
    // Yes (here through Escape) stops the worker and closes the dialog.
    void whileDownloading() {
        Searched d(3);
        d.dlg.Tick(0);
        {
            DownloadGate gate(d.dlg.Job());
            d.dlg.Click("IDC_DOWNLOAD");
            QTRY_VERIFY_WITH_TIMEOUT(DownloadGate::reached, kWaitMs);
            QCOMPARE(d.dlg.EnabledButtons(), (QStringList{"IDC_BROWSE", "IDC_CANCEL"}));
            QVERIFY(!d.dlg.List()->isEnabled());
            d.dlg.answer = QMessageBox::No;
            QVERIFY(!d.dlg.close());
            QCOMPARE(d.dlg.messages.size(), size_t(1));
            const ShownMessage& asked = d.dlg.messages[0];
            QCOMPARE(asked.caption + "|" + asked.text, QString("Message|Downloading now, Exit?"));
            QCOMPARE(asked.buttons, QMessageBox::Yes | QMessageBox::No);
            QVERIFY(d.dlg.isVisible() && d.dlg.Job().Running());
            d.dlg.Click("IDC_CANCEL");
            QVERIFY(!d.dlg.Job().Running());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!d.dlg.Control("IDC_CANCEL")->isEnabled(), kWaitMs);
        QTest::qWait(3 * CTarvikDlg::kTimerMs);
        QCOMPARE(d.dlg.messages.size(), size_t(1));
        QVERIFY(!Exists(d, 0));
        QCOMPARE(d.dlg.EnabledButtons(), (QStringList{"IDC_BROWSE", "IDC_DOWNLOAD", "IDC_SEARCH", "IDC_SELECT_ALL"}));

        DownloadGate gate(d.dlg.Job());
        d.dlg.Click("IDC_DOWNLOAD");
        QTRY_VERIFY_WITH_TIMEOUT(DownloadGate::reached, kWaitMs);
        d.dlg.answer = QMessageBox::Yes;
        QTest::keyClick(&d.dlg, Qt::Key_Escape);
        QVERIFY(!d.dlg.isVisible());
        QCOMPARE(d.dlg.result(), int(QDialog::Rejected));
        QVERIFY(!d.dlg.Job().Running() && d.dlg.Job().StopRequested());
        QTest::qWait(3 * CTarvikDlg::kTimerMs);
        QCOMPARE(d.dlg.messages.size(), size_t(2));
    }
};

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
