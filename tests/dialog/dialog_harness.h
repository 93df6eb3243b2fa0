// The dialog under test over the application tests' disks: its modal windows
// answered here and remembered, its controls found by name.
#pragma once

#include <QComboBox>
#include <QDateEdit>
#include <QPushButton>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>
#include <thread>

#include "TarvikDlg.h"
#include "app/app_support.h"

using namespace app_test;

struct ShownMessage {
    QString caption, text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

class CTestDlg : public CTarvikDlg {
   public:
    using CTarvikDlg::CTarvikDlg;
    using CTarvikDlg::Job;
    using CTarvikDlg::Results;

    template <class T = QPushButton>
    T* Control(const char* name) const {
        T* control = findChild<T*>(name);
        if (control == nullptr) qFatal("no control %s", name);
        return control;
    }
    QTreeWidget* List() const { return Control<QTreeWidget>("IDC_RECORD_LIST"); }
    void Click(const char* name) const { QTest::mouseClick(Control(name), Qt::LeftButton); }
    // One column of the rows on screen.
    QStringList Column(int column) const {
        QStringList texts;
        for (int r = 0; r < List()->topLevelItemCount(); r++) texts << List()->topLevelItem(r)->text(column);
        return texts;
    }
    // Ticks a row as the user's click on its check box does.
    void Tick(int row) const { List()->topLevelItem(row)->setCheckState(0, Qt::Checked); }
    QStringList MessageTexts() const {
        QStringList texts;
        for (const ShownMessage& m : messages) texts << m.text;
        return texts;
    }
    QStringList EnabledButtons() const {
        QStringList names;
        for (const QPushButton* b : findChildren<QPushButton*>())
            if (b->isEnabled()) names << b->objectName();
        names.sort();
        return names;
    }
    // Picks the window of one whole day.
    void PickDay(const QDate& day) const {
        Control<QDateEdit>("IDC_START_DATE")->setDate(day);
        Control<QTimeEdit>("IDC_START_TIME")->setTime(QTime(0, 0));
        Control<QDateEdit>("IDC_END_DATE")->setDate(day);
        Control<QTimeEdit>("IDC_END_TIME")->setTime(QTime(23, 59, 59));
    }

    std::vector<ShownMessage> messages;
    QMessageBox::StandardButton answer = QMessageBox::Ok;  // to every message box
    QString folderAnswer;                                  // from the folder chooser

   protected:
    QMessageBox::StandardButton RunMessageBox(const QString& caption, const QString& text,
                                              QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons) override {
        messages.push_back(ShownMessage{caption, text, icon, buttons});
        return buttons.testFlag(answer) ? answer : QMessageBox::Ok;
    }
    QString BrowseFolder(const QString&) override { return folderAnswer; }
};

// `blank` empty disks, then one with `count` recordings of channel 1 on
// 2024-03-01, every ten minutes from 08:00, one minute long, of 8 KiB, 9 KiB,
// ...; started with the clock at 2024-03-02 10:20:30 (or the program ends).
struct Session : AppDisk {
    std::vector<layout_record> recs;

    explicit Session(int count, int blank = 0) : AppDisk({ring_part_sectors(16, 400)}, 16, blank) {
        for (int i = 0; i < count; i++) {
            const int h = 8 + i / 6, m = i % 6 * 10;
            recs.push_back(Sized(0, At(2024, 3, 1, h, m), At(2024, 3, 1, h, m + 1), Bytes(i + 1)));
        }
        Record(0, recs);
        pc_clock_set_fake({2024, 3, 2, 10, 20, 30}, 0);
        const StartupReport report = Mount();
        if (report.diskCount != blank + 1 || report.usableDrivers != 1)
            qFatal("the sample disks do not start");
    }
    // Bytes of recording `index` (from 1, as the Index column).
    static uint64_t Bytes(int index) { return (7 + index) * 1024u; }
};

// A session's dialog after a search of 2024-03-01 on the first disk, the
// download folder "copies" in the session's folder chosen through "...".
struct Searched : Session {
    CTestDlg dlg{DiskCount()};
    const std::string folder = dir.file("copies");

    explicit Searched(int count, int blank = 0) : Session(count, blank) {
        dlg.folderAnswer = QString::fromStdString(folder);
        dlg.Click("IDC_BROWSE");
        dlg.PickDay(QDate(2024, 3, 1));
        dlg.show();
        dlg.Click("IDC_SEARCH");
    }
};

// Holds a download's worker at its first library call until the gate goes
// or the job is asked to stop.
struct DownloadGate : CallHook {
    static inline std::atomic<bool> reached, open;

    explicit DownloadGate(const CDownloadJob& job)
        : CallHook([&job](int) {
              reached = true;
              while (!open && !job.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }) {
        reached = false;
        open = false;
    }
    ~DownloadGate() { open = true; }
};
