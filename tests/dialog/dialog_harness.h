// The dialog under test: every modal window it would open is answered here
// and remembered, its controls are found by name, and its download worker
// can be held at the storage library's lock hook while a test looks at the
// dialog in the middle of a job.
#pragma once

#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <string>
#include <vector>

#include "TarvikDlg.h"
#include "sample_disk.h"

struct ShownMessage {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

class CTestDlg : public CTarvikDlg {
public:
    using CTarvikDlg::CTarvikDlg;
    using CTarvikDlg::FillContextMenu;
    using CTarvikDlg::Downloading;
    using CTarvikDlg::Job;
    using CTarvikDlg::Results;

    template <class T>
    T* Control(const char* name) const {
        T* control = findChild<T*>(name);
        if (control == nullptr) qFatal("no control %s", name);
        return control;
    }
    QPushButton* Button(const char* name) const { return Control<QPushButton>(name); }
    QTreeWidget* List() const { return Control<QTreeWidget>("IDC_RECORD_LIST"); }
    void Click(const char* name) const { QTest::mouseClick(Button(name), Qt::LeftButton); }

    // The texts of the list's rows, column by column.
    std::vector<QStringList> Rows() const;
    QStringList Column(int column) const;
    // Ticks or unticks a row as the user's click on its check box does.
    void Tick(int row, bool on) const;
    QStringList MessageTexts() const;
    // Names of the buttons that are enabled.
    QStringList EnabledButtons() const;

    std::vector<ShownMessage> messages;
    QMessageBox::StandardButton answer = QMessageBox::Ok;  // to every message box
    QString folderAnswer;                                  // from the folder chooser
    QString folderStart;                                   // where the chooser was opened
    int aboutBoxes = 0;

protected:
    QMessageBox::StandardButton RunMessageBox(const QString& caption, const QString& text, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons) override;
    QString BrowseFolder(const QString& start) override;
    void ShowAbout() override { aboutBoxes++; }
};

// One or more sample disks in a temporary folder, started as the
// application starts (library messages silenced), with the fake clock at
// 2024-03-02 10:20:30 for the dialog.
class Session {
public:
    // Makes disk i from recordings[i] (a disk without recordings is left
    // blank: it has no partition table).
    bool Start(const std::vector<std::vector<SampleRecording>>& recordings, int partitions = 1);
    std::string Path(const char* name) const { return (m_dir.path() + "/" + name).toStdString(); }
    const std::string& Error() const { return m_error; }
    ~Session();

private:
    QTemporaryDir m_dir;
    std::string m_error;
};

// Holds the download worker at its first library call until Open() or until
// the job is asked to stop; installs the library's empty hooks again when it
// goes.
class DownloadGate {
public:
    explicit DownloadGate(const CDownloadJob& job);
    ~DownloadGate();
    void Open();
    // True once the worker waits at the gate.
    static bool Reached();

private:
    static void Lock();
    static void Unlock() {}
    static std::atomic<bool> s_open;
    static std::atomic<bool> s_reached;
    static std::atomic<const CDownloadJob*> s_job;
};

// The picked window, start and end, "YYYY-MM-DD HH:MM:SS".
void SetWindow(CTestDlg& dlg, const char* start, const char* end);
