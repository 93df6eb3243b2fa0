// Downloads from the dialog: the folder tree with whole copies, the controls
// while a job runs, Cancel, the question when the dialog is closed during a
// job, and a recording that cannot be read ending with the failure message.
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>

#include "DiskIOCtl.h"
#include "core/startup.h"
#include "dialog_harness.h"

namespace {

constexpr int kWaitMs = 20000;

// The record file name shown for a row (its Start Time column gives the
// start; the name itself comes from the core's copy).
std::string RecordName(const CTestDlg& dlg, size_t index) { return dlg.Results().Items().at(index).record.entry.name; }

QByteArray Expected(const SampleRecording& r) {
    QByteArray bytes(static_cast<int>(r.bytes), '\0');
    for (uint32_t i = 0; i < r.bytes; i++) bytes[static_cast<int>(i)] = static_cast<char>(SampleByte(r, i));
    return bytes;
}

QByteArray ReadAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Exists(const std::string& path) { return QFile::exists(QString::fromStdString(path)); }

// A dialog over SampleDay(count) with every recording found and the
// download folder set through "...".
struct Downloading {
    Session session;
    std::unique_ptr<CTestDlg> dlg;
    std::string folder;

    bool Start(int count) {
        if (!session.Start({SampleDay(count)})) return false;
        dlg = std::make_unique<CTestDlg>(DiskCount());
        folder = session.Path("copies");
        dlg->folderAnswer = QString::fromStdString(folder);
        dlg->Click("IDC_BROWSE");
        SetWindow(*dlg, "2024-03-01 00:00:00", "2024-03-01 23:59:59");
        dlg->show();
        dlg->Click("IDC_SEARCH");
        return dlg->List()->topLevelItemCount() > 0;
    }
    std::string Copy(size_t index) const {
        return folder + "/Disk00_Part00/2024-03-01/001/" + RecordName(*dlg, index);
    }
};

}  // namespace

class TestDownload : public QObject {
    Q_OBJECT
private slots:
    // Ticked recordings of every page are copied whole into
    // FOLDER/Disk00_Part00/2024-03-01/001/, the bar ends at 0 and the job
    // ends with "Download Completely!".
    void downloadWritesTheTree() {
        Downloading d;
        QVERIFY2(d.Start(14), d.session.Error().c_str());
        CTestDlg& dlg = *d.dlg;
        dlg.Tick(2, true);
        dlg.Click("IDC_NEXT_PAGE");
        dlg.Tick(1, true);  // record 14, on the page on screen
        dlg.Click("IDC_DOWNLOAD");
        QVERIFY(dlg.Job().Running() || dlg.Downloading());
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.messages.empty(), kWaitMs);
        QCOMPARE(dlg.MessageTexts(), QStringList{"Download Completely!"});
        QCOMPARE(dlg.messages[0].icon, QMessageBox::Information);
        const std::vector<SampleRecording> day = SampleDay(14);
        QCOMPARE(ReadAll(d.Copy(2)), Expected(day[2]));
        QCOMPARE(ReadAll(d.Copy(13)), Expected(day[13]));
        QVERIFY(!Exists(d.Copy(0)));
        QCOMPARE(dlg.Control<QProgressBar>("IDC_PROGRESS")->value(), 0);
        QVERIFY(dlg.Button("IDC_DOWNLOAD")->isEnabled());
        QVERIFY(dlg.Button("IDC_SEARCH")->isEnabled());
        QVERIFY(!dlg.Button("IDC_CANCEL")->isEnabled());
    }

    // While a job runs only Cancel and "..." are offered among the buttons
    // and the list is closed to ticks; Cancel stops the worker without the
    // completion message and the copy never takes its final name.
    void controlsWhileRunningAndCancel() {
        Downloading d;
        QVERIFY2(d.Start(3), d.session.Error().c_str());
        CTestDlg& dlg = *d.dlg;
        dlg.Tick(0, true);
        DownloadGate gate(dlg.Job());
        dlg.Click("IDC_DOWNLOAD");
        QTRY_VERIFY_WITH_TIMEOUT(DownloadGate::Reached(), kWaitMs);
        QCOMPARE(dlg.EnabledButtons(), (QStringList{"IDC_BROWSE", "IDC_CANCEL"}));
        QVERIFY(!dlg.List()->isEnabled());
        QVERIFY(dlg.Control<QComboBox>("IDC_DISK")->isEnabled());

        dlg.Click("IDC_CANCEL");
        QVERIFY(!dlg.Job().Running());  // Cancel waits for the worker
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.Button("IDC_CANCEL")->isEnabled(), kWaitMs);
        QTest::qWait(3 * CTarvikDlg::kTimerMs);
        QVERIFY(dlg.messages.empty());
        QVERIFY(!Exists(d.Copy(0)));
        QCOMPARE(dlg.Control<QProgressBar>("IDC_PROGRESS")->value(), 0);
        QCOMPARE(dlg.EnabledButtons(),
                 (QStringList{"IDC_BROWSE", "IDC_DOWNLOAD", "IDC_SEARCH", "IDC_SELECT_ALL"}));
    }

    // Closing during a job asks first. No keeps the dialog and the job,
    // which then completes; Yes (here through Escape) stops the worker and
    // closes the dialog.
    void closingDuringADownloadAsks() {
        Downloading d;
        QVERIFY2(d.Start(3), d.session.Error().c_str());
        CTestDlg& dlg = *d.dlg;
        dlg.Tick(0, true);
        {
            DownloadGate gate(dlg.Job());
            dlg.Click("IDC_DOWNLOAD");
            QTRY_VERIFY_WITH_TIMEOUT(DownloadGate::Reached(), kWaitMs);
            dlg.answer = QMessageBox::No;
            QVERIFY(!dlg.close());
            QCOMPARE(dlg.messages.size(), size_t(1));
            QCOMPARE(dlg.messages[0].text, QString("Downloading now, Exit?"));
            QCOMPARE(dlg.messages[0].caption, QString("Message"));
            QCOMPARE(dlg.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
            QVERIFY(dlg.isVisible());
            QVERIFY(dlg.Job().Running());
        }
        QTRY_COMPARE_WITH_TIMEOUT(dlg.messages.size(), size_t(2), kWaitMs);
        QCOMPARE(dlg.messages[1].text, QString("Download Completely!"));
        QCOMPARE(ReadAll(d.Copy(0)), Expected(SampleDay(3)[0]));

        dlg.messages.clear();
        dlg.Tick(1, true);
        DownloadGate gate(dlg.Job());
        dlg.Click("IDC_DOWNLOAD");
        QTRY_VERIFY_WITH_TIMEOUT(DownloadGate::Reached(), kWaitMs);
        dlg.answer = QMessageBox::Yes;
        QTest::keyClick(&dlg, Qt::Key_Escape);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(dlg.result(), int(QDialog::Rejected));
        QVERIFY(!dlg.Job().Running());
        QVERIFY(dlg.Job().StopRequested());
        QTest::qWait(3 * CTarvikDlg::kTimerMs);
        QCOMPARE(dlg.MessageTexts(), QStringList{"Downloading now, Exit?"});
    }

    // A recording whose sectors cannot be read is not reported as copied:
    // the job ends with the failure message naming it, never "Download
    // Completely!", and its cut copy does not take the recording's name.
    void unreadableRecordingEndsWithFailure() {
        Downloading d;
        QVERIFY2(d.Start(3), d.session.Error().c_str());
        CTestDlg& dlg = *d.dlg;
        const std::vector<SampleRecording> day = SampleDay(3);
        uint64_t sector = 0;
        QVERIFY(SampleDataSector(0, day[1], &sector));
        ide_inject_fault(0, sector, sector, IDE_FAULT_READ);
        dlg.Tick(0, true);
        dlg.Tick(1, true);
        dlg.Tick(2, true);
        dlg.Click("IDC_DOWNLOAD");
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.messages.empty(), kWaitMs);
        ide_clear_faults();
        QCOMPARE(dlg.messages.size(), size_t(1));
        const QString text = dlg.messages[0].text;
        QVERIFY2(text.startsWith("1 recording(s) could not be copied."), qPrintable(text));
        QVERIFY2(text.contains(QString::fromStdString(RecordName(dlg, 1))), qPrintable(text));
        QVERIFY(!text.contains("Download Completely!"));
        QCOMPARE(dlg.messages[0].icon, QMessageBox::Warning);
        QCOMPARE(ReadAll(d.Copy(0)), Expected(day[0]));
        QCOMPARE(ReadAll(d.Copy(2)), Expected(day[2]));
        QVERIFY(!Exists(d.Copy(1)));
    }
};

QTEST_MAIN(TestDownload)
#include "tst_download.moc"
