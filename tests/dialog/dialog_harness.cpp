#include "dialog_harness.h"

#include <QDateEdit>
#include <QTimeEdit>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/startup.h"
#include "core/timevalue.h"
#include "kxfs.h"
#include "platform/clock.h"

std::vector<QStringList> CTestDlg::Rows() const {
    std::vector<QStringList> rows;
    for (int r = 0; r < List()->topLevelItemCount(); r++) {
        QStringList texts;
        for (int c = 0; c < List()->columnCount(); c++) texts << List()->topLevelItem(r)->text(c);
        rows.push_back(texts);
    }
    return rows;
}

QStringList CTestDlg::Column(int column) const {
    QStringList texts;
    for (const QStringList& row : Rows()) texts << row[column];
    return texts;
}

void CTestDlg::Tick(int row, bool on) const {
    List()->topLevelItem(row)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked);
}

QStringList CTestDlg::MessageTexts() const {
    QStringList texts;
    for (const ShownMessage& m : messages) texts << m.text;
    return texts;
}

QStringList CTestDlg::EnabledButtons() const {
    QStringList names;
    for (const QPushButton* b : findChildren<QPushButton*>()) {
        if (b->isEnabled()) names << b->objectName();
    }
    names.sort();
    return names;
}

QMessageBox::StandardButton CTestDlg::RunMessageBox(const QString& caption, const QString& text,
                                                    QMessageBox::Icon icon, QMessageBox::StandardButtons buttons) {
    messages.push_back(ShownMessage{caption, text, icon, buttons});
    return buttons.testFlag(answer) ? answer : QMessageBox::Ok;
}

QString CTestDlg::BrowseFolder(const QString& start) {
    folderStart = start;
    return folderAnswer;
}

bool Session::Start(const std::vector<std::vector<SampleRecording>>& recordings, int partitions) {
    if (!m_dir.isValid()) {
        m_error = "no temporary folder";
        return false;
    }
    kx_set_log_stream(nullptr);
    StartupOptions options;
    for (size_t i = 0; i < recordings.size(); i++) {
        const std::string image = Path(("disk" + std::to_string(i) + ".img").c_str());
        if (recordings[i].empty()) {
            if (FILE* f = fopen(image.c_str(), "wb")) fclose(f);
        } else if (!MakeSampleDisk(image, partitions, recordings[i], &m_error)) {
            return false;
        }
        options.diskPaths.push_back(image);
    }
    pc_clock_set_fake({2024, 3, 2, 10, 20, 30}, 0);
    const StartupReport report = InitLibrary(options);
    if (report.diskCount != static_cast<int>(recordings.size())) {
        m_error = "the disks were not all found";
        return false;
    }
    return true;
}

Session::~Session() { pc_clock_use_real(); }

std::atomic<bool> DownloadGate::s_open{true};
std::atomic<bool> DownloadGate::s_reached{false};
std::atomic<const CDownloadJob*> DownloadGate::s_job{nullptr};

DownloadGate::DownloadGate(const CDownloadJob& job) {
    static const kx_hooks gated = {nullptr, Lock, Unlock};
    s_job = &job;
    s_open = false;
    s_reached = false;
    kx_set_hooks(&gated);
}

DownloadGate::~DownloadGate() {
    Open();
    static const kx_hooks empty = {nullptr, Unlock, Unlock};
    kx_set_hooks(&empty);
    s_job = nullptr;
}

void DownloadGate::Open() { s_open = true; }

bool DownloadGate::Reached() { return s_reached; }

void DownloadGate::Lock() {
    s_reached = true;
    for (;;) {
        const CDownloadJob* job = s_job;
        if (s_open || (job != nullptr && job->StopRequested())) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SetWindow(CTestDlg& dlg, const char* start, const char* end) {
    const auto set = [&dlg](const char* text, const char* dateName, const char* timeName) {
        int64_t value = 0;
        if (!ParseDateTime(text, &value)) qFatal("bad time %s", text);
        const LocalDateTime t = BreakTimeValue(value);
        dlg.Control<QDateEdit>(dateName)->setDate(QDate(t.year, t.month, t.day));
        dlg.Control<QTimeEdit>(timeName)->setTime(QTime(t.hour, t.minute, t.second));
    };
    set(start, "IDC_START_DATE", "IDC_START_TIME");
    set(end, "IDC_END_DATE", "IDC_END_TIME");
}
