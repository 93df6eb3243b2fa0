// The main dialog: pick a disk and a channel, a start and an end date and
// time, search (orphaned footage too, when asked: it follows the recordings,
// marked), tick recordings in a list shown twelve to a page, pick a
// download folder and download, with a progress bar and a cancel button.
// The search, the result list and the download job are the application
// core's; the dialog presents them and keeps its controls in step.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <cstdint>
#include <string>
#include <thread>

#include "core/download.h"
#include "core/media.h"
#include "core/results.h"
#include "platform/localtime.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QDateEdit;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimeEdit;
class QTreeWidget;
class QTreeWidgetItem;

class CTarvikDlg : public QDialog {
    Q_OBJECT
public:
    // The context menu's About entry, with the id the system menu gave it.
    static constexpr int IDM_ABOUTBOX = 0x0010;
    static constexpr int kTimerMs = 100;  // progress refresh while a job runs

    // diskCount: the disks the disk-access library found at start-up; the
    // disk list offers them in their order.
    // readOnly: the disks are not written (the title says so).
    explicit CTarvikDlg(int diskCount, bool readOnly = true, QWidget* parent = nullptr);
    // A download still running is stopped (cooperatively) by the job itself
    // before anything else of the dialog goes away.
    ~CTarvikDlg() override;

    // The close box and the Escape key both end up here: during a download
    // the user is asked first, and Yes stops the worker before the dialog
    // closes.
    void reject() override;

protected:
    // Every modal window the dialog opens goes through these, so that a
    // test can answer them instead of a user.
    virtual QMessageBox::StandardButton RunMessageBox(const QString& caption, const QString& text,
                                                      QMessageBox::Icon icon, QMessageBox::StandardButtons buttons);
    virtual QString BrowseFolder(const QString& start);
    virtual void ShowAbout();

    void contextMenuEvent(QContextMenuEvent* event) override;
    // Appends the separator and "&About Tarvik..." to a menu.
    void FillContextMenu(QMenu* menu);

    // Handlers.
    void OnInitDialog();
    void OnSysCommand(int id);
    void OnSearch();
    void OnNextPage();
    void OnPrevPage();
    void OnSelectAll();
    void OnItemChanged(QTreeWidgetItem* item, int column);
    // The highlighted row changed: its recording's first bytes are read
    // here, its first picture is decoded off the dialog thread.
    void OnCurrentRecordChanged(QTreeWidgetItem* item);
    void OnPreviewReady(int request, const PreviewImage& image);
    void OnDownload();
    void OnCancelDownload();
    void OnTimer();
    void OnBrowse();
    // True when the dialog may close (asks during a download).
    bool OnClose();

    // Stops a running download and waits for its worker.
    void StopDownload();
    void UpdateControls();
    void OnDiskChanged(int index);

    const CResultList& Results() const { return m_results; }
    const CDownloadJob& Job() const { return m_job; }
    bool Downloading() const { return m_bDownloading; }

private:
    void CreateControls();
    QPushButton* AddButton(const char* name, const char* text, int x, int y, int width, int height);
    // Shows a message captioned "Message"; text is already translated.
    QMessageBox::StandardButton ShowMessage(const std::string& text, QMessageBox::Icon icon,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    void ShowCalendarError(const std::exception& error);
    // Puts the rows of the core's current page on screen.
    void FillRows();
    int64_t PickedTime(const QDateEdit* date, const QTimeEdit* time, Occurrence which) const;
    // Appends the finished job to the download folder's report; the reason
    // when it could not be written, else "".
    std::string WriteJobReport();

    QComboBox* m_cmbDisk = nullptr;
    QComboBox* m_cmbChannel = nullptr;
    QDateEdit* m_dtStartDate = nullptr;
    QTimeEdit* m_dtStartTime = nullptr;
    QDateEdit* m_dtEndDate = nullptr;
    QTimeEdit* m_dtEndTime = nullptr;
    QTreeWidget* m_lstRecord = nullptr;
    QProgressBar* m_prgDownload = nullptr;
    QLineEdit* m_edtPath = nullptr;
    QPushButton* m_btnSearch = nullptr;
    QLabel* m_lblSpan = nullptr;  // the selected disk's recorded span, beside the disk picker
    QCheckBox* m_chkOrphans = nullptr;  // the search also lists orphaned footage
    QLineEdit* m_edtOffset = nullptr;   // the recorder clock's error: seconds or RECORDER_TIME=TRUE_TIME
    QPushButton* m_btnDownload = nullptr;
    QPushButton* m_btnCancel = nullptr;
    QPushButton* m_btnSelectAll = nullptr;
    QPushButton* m_btnPrevPage = nullptr;
    QPushButton* m_btnNextPage = nullptr;
    QPushButton* m_btnBrowse = nullptr;
    QCheckBox* m_chkMp4 = nullptr;   // "Save as MP4": a remuxed copy beside each exact one
    QLabel* m_lblPreview = nullptr;  // the highlighted recording's first picture

    int m_nDiskCount = 0;  // disks the disk-access library found at start
    QStringList m_spans;   // each disk's recorded span, as the label shows it
    QString m_strPath;     // the download folder
    bool m_bReadOnly;      // no disk is written: repairs stay in memory
    bool m_bFilling = false;     // rows are being rebuilt: their check changes are not the user's
    bool m_bDownloading = false;  // from Download until the timer has seen the job end
    int m_nLastPercent = -1;      // last percentage shown on the progress bar
    int64_t m_nClockOffset = 0;   // of the last search: true time minus the recorder's time
    std::string m_strSettings;    // the last search's settings, for the job report
    int64_t m_nJobStart = 0;      // when the running download started (seconds since the epoch)
    QTimer m_timer;
    std::thread m_previewThread;  // decodes one preview; joined before the next and on destruction
    int m_nPreviewRequest = 0;    // the latest preview asked for: older pictures are dropped
    CResultList m_results;
    // Last, so that it is destroyed first: its destructor stops the worker
    // and waits for it while everything else is still there.
    CDownloadJob m_job;
};
