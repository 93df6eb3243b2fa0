#include "TarvikDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimeEdit>
#include <QTreeWidget>
#include <cstring>
#include <ctime>
#include <iterator>

#include "AboutDlg.h"
#include "DialogUnits.h"
#include "TranslateWindow.h"
#include "core/clockoffset.h"
#include "core/disks.h"
#include "core/language.h"
#include "core/report.h"
#include "core/timevalue.h"
#include "platform/clock.h"

namespace {

constexpr int kChannels = 16;
constexpr int kSecondsPerDay = 86400;
constexpr double kSmallestPoints = 6;  // captions are not shrunk below this
constexpr int kFailuresListed = 8;  // failed recordings named in the closing message
// The preview pane beside the result list (dialog units), and the dialog's
// width with it.
constexpr int kPreviewX = 331, kPreviewY = 65, kPreviewWidth = 124, kPreviewHeight = 100;
constexpr int kDialogWidth = kPreviewX + kPreviewWidth + 7;

// The result list's columns: heading and width in pixels.
struct Column {
    const char* heading;
    int width;
};
constexpr Column kColumns[] = {{"Index", 50}, {"Disk Name", 80}, {"Start Time", 120}, {"End Time", 120}, {"File Size", 100}};

QString Tr(const char* english) { return QString::fromStdString(Translate(english)); }

// The pickers' range: the time values the application can build (year 1900
// on) and the recorder's calendar (up to 2063) lie well inside it.
const QDate kFirstDate(1970, 1, 1);
const QDate kLastDate(2099, 12, 31);

QLabel* AddLabel(QWidget* parent, const char* text, int x, int y, int width, int height) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(dlu::Rect(x, y, width, height));
    return label;
}

QComboBox* AddCombo(QWidget* parent, const char* name, int x, int y, int width) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    // The template's height includes the drop-down list; the closed box is
    // as high as the pickers beside it.
    combo->setGeometry(dlu::Rect(x, y, width, 15));
    combo->setMaxVisibleItems(16);
    return combo;
}

QDateEdit* AddDate(QWidget* parent, const char* name, int x, int y) {
    auto* date = new QDateEdit(parent);
    date->setObjectName(name);
    date->setGeometry(dlu::Rect(x, y, 59, 15));
    // Four-digit years: a two-digit year typed in would be taken as 19xx.
    date->setDisplayFormat("yyyy-MM-dd");
    date->setCalendarPopup(true);
    date->setDateRange(kFirstDate, kLastDate);
    return date;
}

QTimeEdit* AddTime(QWidget* parent, const char* name, int x, int y) {
    auto* time = new QTimeEdit(parent);
    time->setObjectName(name);
    time->setGeometry(dlu::Rect(x, y, 59, 15));
    time->setDisplayFormat("HH:mm:ss");
    return time;
}

// A caption wider than its button (a long translation, or "Previous Page" in
// a wide face) is set in a smaller size rather than cut.
void FitCaption(QPushButton* button) {
    const int room = button->width() - 2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    QFont font = button->font();
    while (QFontMetrics(font).horizontalAdvance(button->text()) > room && font.pointSizeF() > kSmallestPoints) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    button->setFont(font);
}

void ShowTime(int64_t value, QDateEdit* date, QTimeEdit* time) {
    const LocalDateTime t = BreakTimeValue(value);
    date->setDate(QDate(t.year, t.month, t.day));
    time->setTime(QTime(t.hour, t.minute, t.second));
}

}  // namespace

CTarvikDlg::CTarvikDlg(int diskCount, bool readOnly, QWidget* parent)
    : QDialog(parent), m_nDiskCount(diskCount > 0 ? diskCount : 0), m_strPath(QDir::homePath()), m_bReadOnly(readOnly) {
    setWindowTitle("Tarvik");
    setWindowIcon(QIcon(":/tarvik.png"));
    setFont(dlu::Font(font()));
    setFixedSize(dlu::X(kDialogWidth), dlu::Y(270));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    CreateControls();
    m_timer.setInterval(kTimerMs);
    connect(&m_timer, &QTimer::timeout, this, &CTarvikDlg::OnTimer);
    OnInitDialog();
}

CTarvikDlg::~CTarvikDlg() {
    if (m_previewThread.joinable()) m_previewThread.join();
}

QPushButton* CTarvikDlg::AddButton(const char* name, const char* text, int x, int y, int width, int height) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(name);
    button->setGeometry(dlu::Rect(x, y, width, height));
    // No button is the default: Enter must not start a search or a download.
    button->setAutoDefault(false);
    return button;
}

// The controls in the order of the dialog's template (it is also the order
// in which the language table sees them). Positions are dialog units.
void CTarvikDlg::CreateControls() {
    AddLabel(this, "Disk Name:", 7, 11, 46, 8);
    m_cmbDisk = AddCombo(this, "IDC_DISK", 53, 7, 59);
    m_cmbChannel = AddCombo(this, "IDC_CHANNEL", 117, 7, 59);
    m_lblSpan = AddLabel(this, "", 187, 5, 137, 18);  // two lines: the first and the last recording
    m_lblSpan->setObjectName("IDC_SPAN");
    AddLabel(this, "Start Time:", 7, 29, 46, 8);
    m_dtStartDate = AddDate(this, "IDC_START_DATE", 53, 25);
    m_dtStartTime = AddTime(this, "IDC_START_TIME", 117, 25);
    AddLabel(this, "End Time:", 7, 47, 46, 8);
    m_dtEndDate = AddDate(this, "IDC_END_DATE", 53, 43);
    m_dtEndTime = AddTime(this, "IDC_END_TIME", 117, 43);
    m_btnSearch = AddButton("IDC_SEARCH", "Search", 187, 43, 47, 15);
    AddLabel(this, "Clock offset:", 240, 47, 44, 8);
    m_edtOffset = new QLineEdit(this);
    m_edtOffset->setObjectName("IDC_CLOCK_OFFSET");
    m_edtOffset->setGeometry(dlu::Rect(284, 43, 40, 15));
    m_chkOrphans = new QCheckBox("Include orphaned footage", this);
    m_chkOrphans->setObjectName("IDC_ORPHANS");
    m_chkOrphans->setGeometry(dlu::Rect(187, 27, 137, 12));  // above Search, where its text fits

    m_lstRecord = new QTreeWidget(this);
    m_lstRecord->setObjectName("IDC_RECORD_LIST");
    m_lstRecord->setGeometry(dlu::Rect(7, 65, 317, 140));
    m_lstRecord->setRootIsDecorated(false);
    m_lstRecord->setUniformRowHeights(true);
    m_lstRecord->header()->setStretchLastSection(false);
    m_lstRecord->header()->setSectionsMovable(false);

    m_btnDownload = AddButton("IDC_DOWNLOAD", "Download", 7, 208, 50, 14);
    m_btnCancel = AddButton("IDC_CANCEL", "Cancel", 64, 208, 50, 14);
    m_chkMp4 = new QCheckBox("Save as MP4", this);
    m_chkMp4->setObjectName("IDC_SAVE_MP4");
    m_chkMp4->setGeometry(dlu::Rect(117, 209, 53, 12));
    m_chkMp4->setVisible(MediaSupported());
    m_lblPreview = new QLabel(this);
    m_lblPreview->setObjectName("IDC_PREVIEW");
    m_lblPreview->setGeometry(dlu::Rect(kPreviewX, kPreviewY, kPreviewWidth, kPreviewHeight));
    // Without media support the preview stays blank and "Save as MP4" hidden: the tip says why.
    if (!MediaSupported()) m_lblPreview->setToolTip(QString::fromStdString(MediaMissingReason()));
    m_lblPreview->setAlignment(Qt::AlignCenter);
    m_lblPreview->setFrameShape(QFrame::StyledPanel);
    m_btnSelectAll = AddButton("IDC_SELECT_ALL", "Select All", 171, 208, 50, 14);
    m_btnPrevPage = AddButton("IDC_PREV_PAGE", "Previous Page", 223, 208, 50, 14);
    m_btnNextPage = AddButton("IDC_NEXT_PAGE", "Next Page", 275, 208, 50, 14);
    AddLabel(this, "Download Path:", 7, 231, 57, 8);
    m_edtPath = new QLineEdit(this);
    m_edtPath->setObjectName("IDC_PATH");
    m_edtPath->setGeometry(dlu::Rect(64, 228, 239, 15));
    m_edtPath->setReadOnly(true);  // changed only through "..."
    m_btnBrowse = AddButton("IDC_BROWSE", "...", 307, 228, 17, 15);
    m_prgDownload = new QProgressBar(this);
    m_prgDownload->setObjectName("IDC_PROGRESS");
    m_prgDownload->setGeometry(dlu::Rect(7, 249, 317, 14));
    m_prgDownload->setTextVisible(false);

    connect(m_btnSearch, &QPushButton::clicked, this, &CTarvikDlg::OnSearch);
    connect(m_btnDownload, &QPushButton::clicked, this, &CTarvikDlg::OnDownload);
    connect(m_btnCancel, &QPushButton::clicked, this, &CTarvikDlg::OnCancelDownload);
    connect(m_btnSelectAll, &QPushButton::clicked, this, &CTarvikDlg::OnSelectAll);
    connect(m_btnPrevPage, &QPushButton::clicked, this, &CTarvikDlg::OnPrevPage);
    connect(m_btnNextPage, &QPushButton::clicked, this, &CTarvikDlg::OnNextPage);
    connect(m_btnBrowse, &QPushButton::clicked, this, &CTarvikDlg::OnBrowse);
    connect(m_lstRecord, &QTreeWidget::itemChanged, this, &CTarvikDlg::OnItemChanged);
    connect(m_lstRecord, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* item, QTreeWidgetItem*) { OnCurrentRecordChanged(item); });
}

void CTarvikDlg::OnDiskChanged(int index) {
    m_lblSpan->setText(index >= 0 && index < m_spans.size() ? m_spans[index] : QString());
}

void CTarvikDlg::OnInitDialog() {
    m_edtPath->setText(m_strPath);
    TranslateWindow(this);
    // Whether the disks may be written is worth a glance before anything is
    // copied from evidence.
    setWindowTitle(windowTitle() + " - " + Tr(m_bReadOnly ? "read-only" : "repairs stored on the disks"));
    for (QPushButton* button : findChildren<QPushButton*>()) FitCaption(button);

    // The window covers the last 24 hours.
    const int64_t now = pc_time_now();
    ShowTime(now, m_dtEndDate, m_dtEndTime);
    ShowTime(now - kSecondsPerDay, m_dtStartDate, m_dtStartTime);

    // A user of an old disk sees which dates hold recordings, while the
    // window still opens on the last 24 hours.
    const std::vector<DiskReport> reports = DescribeDisks();
    for (int d = 0; d < m_nDiskCount; d++) {
        RecordedSpan span;
        for (const DiskReport& r : reports) {
            if (r.index == d) span = DiskRecordedSpan(r);
        }
        m_spans << (span.first == 0 ? Tr("Nothing recorded")
                                    : Tr("Recorded:") + " " +
                                          QString::fromStdString(FormatPackedTime(span.first).substr(0, 16)) + " -\n" +
                                          QString::fromStdString(FormatPackedTime(span.last).substr(0, 16)));
    }
    connect(m_cmbDisk, &QComboBox::currentIndexChanged, this, &CTarvikDlg::OnDiskChanged);

    // In disk order and unsorted: an entry's position is its disk index.
    const QString disk = Tr("Disk");
    for (int d = 0; d < m_nDiskCount; d++) m_cmbDisk->addItem(disk + QString::number(d + 1));
    if (m_nDiskCount > 0) m_cmbDisk->setCurrentIndex(0);

    QStringList headings;
    for (const Column& c : kColumns) headings << Tr(c.heading);
    m_lstRecord->setHeaderLabels(headings);
    for (int c = 0; c < static_cast<int>(std::size(kColumns)); c++) m_lstRecord->setColumnWidth(c, kColumns[c].width);

    const QString channel = Tr("Channel");
    for (int c = 1; c <= kChannels; c++) m_cmbChannel->addItem(QString::asprintf("%s %02d", qUtf8Printable(channel), c));
    m_cmbChannel->setCurrentIndex(0);

    m_prgDownload->setRange(0, 100);
    m_prgDownload->setValue(0);
    UpdateControls();
}

void CTarvikDlg::UpdateControls() {
    const bool d = m_bDownloading;
    m_btnNextPage->setEnabled(m_results.CanNextPage(d));
    m_btnPrevPage->setEnabled(m_results.CanPrevPage(d));
    m_btnSelectAll->setEnabled(m_results.CanSelectAll(d));
    m_btnDownload->setEnabled(m_results.CanDownload(d));
    m_btnCancel->setEnabled(d);
    m_btnSearch->setEnabled(!d);
    m_chkOrphans->setEnabled(!d);
    m_lstRecord->setEnabled(!d);
}

// ----------------------------------------------------------- modal windows

QMessageBox::StandardButton CTarvikDlg::RunMessageBox(const QString& caption, const QString& text,
                                                      QMessageBox::Icon icon, QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, caption, text, buttons, this);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QMessageBox::StandardButton CTarvikDlg::ShowMessage(const std::string& text, QMessageBox::Icon icon,
                                                    QMessageBox::StandardButtons buttons) {
    return RunMessageBox(Tr("Message"), QString::fromStdString(text), icon, buttons);
}

void CTarvikDlg::ShowCalendarError(const std::exception& error) {
    ShowMessage(error.what(), QMessageBox::Critical);
}

QString CTarvikDlg::BrowseFolder(const QString& start) {
    return QFileDialog::getExistingDirectory(this, "Select a folder", start, QFileDialog::ShowDirsOnly);
}

void CTarvikDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CTarvikDlg::FillContextMenu(QMenu* menu) {
    menu->addSeparator();
    // The entry's text is not translated.
    QAction* about = menu->addAction("&About Tarvik...");
    connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
}

void CTarvikDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    FillContextMenu(&menu);
    menu.exec(event->globalPos());
}

void CTarvikDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) ShowAbout();
}

void CTarvikDlg::OnBrowse() {
    const QString folder = BrowseFolder(m_strPath);
    if (folder.isEmpty()) return;  // cancelled: the old folder stays
    m_strPath = folder;
    m_edtPath->setText(m_strPath);
}

// ------------------------------------------------------- search and paging

int64_t CTarvikDlg::PickedTime(const QDateEdit* date, const QTimeEdit* time, Occurrence which) const {
    const QDate d = date->date();
    const QTime t = time->time();
    return MakeTimeValue(LocalDateTime{d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()}, "the window",
                         which);
}

void CTarvikDlg::OnSearch() {
    m_results.Clear();
    FillRows();
    UpdateControls();
    // With a clock offset the window is true time, and so are the rows.
    const std::string offsetText = m_edtOffset->text().trimmed().toStdString();
    int64_t offset = 0;
    if (!offsetText.empty() && !ParseClockOffset(offsetText, &offset)) {
        ShowMessage(Translate("The clock offset must be seconds (true time minus the recorder's time) or "
                              "RECORDER_TIME=TRUE_TIME:") + "\n" + offsetText, QMessageBox::Warning);
        return;
    }
    m_nClockOffset = offset;
    m_results.SetClockOffset(offset);
    CResultList::Outcome outcome;
    try {
        // A bound in the hour that the end of summer time repeats takes in
        // both of its occurrences: the start the earlier, the end the later.
        const int64_t start = PickedTime(m_dtStartDate, m_dtStartTime, Occurrence::Earlier);
        const int64_t end = PickedTime(m_dtEndDate, m_dtEndTime, Occurrence::Later);
        m_strSettings = "disk " + std::to_string(m_cmbDisk->currentIndex() + 1) + ", channel " +
                        std::to_string(m_cmbChannel->currentIndex() + 1) + ", " + FormatDateTime(BreakTimeValue(start)) + " to " +
                        FormatDateTime(BreakTimeValue(end)) + (m_chkOrphans->isChecked() ? ", orphaned footage" : "") +
                        (m_bReadOnly ? ", read-only" : ", repairs stored") +
                        (offset != 0 ? ", clock offset " + DescribeClockOffset(offset) : "");
        outcome = m_results.Search(m_nDiskCount, m_cmbDisk->currentIndex(), m_cmbChannel->currentIndex(), start, end,
                                   m_chkOrphans->isChecked());
    } catch (const CalendarError& error) {
        // The disk holds a date that does not exist: the search is abandoned
        // and the list stays empty.
        m_results.Clear();
        UpdateControls();
        ShowCalendarError(error);
        return;
    }
    FillRows();
    UpdateControls();
    if (outcome == CResultList::Outcome::NoDisk) {
        ShowMessage(Translate("No record disk."), QMessageBox::Information);
    } else if (outcome == CResultList::Outcome::NoRecord) {
        // A disk that is no recorder disk at all must not look like an empty one.
        const DiskReport disk = DescribeDisk(m_cmbDisk->currentIndex());
        const std::string problem = DiskProblem(disk);
        if (problem.empty()) ShowMessage(Translate("No record."), QMessageBox::Information);
        else ShowMessage(Translate("This is not a recorder disk:") + "\n" + disk.path + ": " + problem, QMessageBox::Warning);
    }
}

void CTarvikDlg::FillRows() {
    m_bFilling = true;
    m_lstRecord->clear();
    const std::vector<ResultItem>& items = m_results.Items();
    for (size_t i = m_results.PageFirst(); i < m_results.PageFirst() + m_results.PageRows(); i++) {
        auto* row = new QTreeWidgetItem();
        const std::array<std::string, 5> texts = m_results.RowTexts(i);
        for (int c = 0; c < static_cast<int>(texts.size()); c++) row->setText(c, QString::fromStdString(texts[c]));
        row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
        row->setCheckState(0, items[i].selected ? Qt::Checked : Qt::Unchecked);
        row->setData(0, Qt::UserRole, QVariant::fromValue<qulonglong>(i));
        m_lstRecord->addTopLevelItem(row);
    }
    m_bFilling = false;
}

void CTarvikDlg::OnNextPage() {
    try {
        if (m_results.NextPage()) FillRows();
    } catch (const CalendarError& error) {
        UpdateControls();
        ShowCalendarError(error);
        return;
    }
    UpdateControls();
}

void CTarvikDlg::OnPrevPage() {
    if (m_results.PrevPage()) FillRows();
    UpdateControls();
}

void CTarvikDlg::OnSelectAll() {
    if (m_lstRecord->topLevelItemCount() <= 0) return;
    m_results.SelectAll();
    FillRows();
    UpdateControls();
}

void CTarvikDlg::OnItemChanged(QTreeWidgetItem* item, int column) {
    if (m_bFilling || column != 0) return;
    const QVariant index = item->data(0, Qt::UserRole);
    if (!index.isValid()) return;
    m_results.SetSelected(index.toULongLong(), item->checkState(0) == Qt::Checked);
    UpdateControls();
}

void CTarvikDlg::OnCurrentRecordChanged(QTreeWidgetItem* item) {
    const int request = ++m_nPreviewRequest;
    m_lblPreview->setPixmap(QPixmap());
    m_lblPreview->setText(MediaSupported() ? Tr("No preview") : QString());
    if (item == nullptr || m_bDownloading || !MediaSupported()) return;  // the job owns the library while it runs
    const size_t index = item->data(0, Qt::UserRole).toULongLong();
    if (index >= m_results.Items().size()) return;
    std::vector<uint8_t> start = ReadRecordingStart(m_results.Items()[index].record);
    const QSize room = m_lblPreview->contentsRect().size();
    if (m_previewThread.joinable()) m_previewThread.join();
    m_previewThread = std::thread([this, request, room, start = std::move(start)] {
        PreviewImage image;
        if (!DecodePreview(start.data(), start.size(), room.width(), room.height(), &image)) return;
        QMetaObject::invokeMethod(this, [this, request, image] { OnPreviewReady(request, image); }, Qt::QueuedConnection);
    });
}

void CTarvikDlg::OnPreviewReady(int request, const PreviewImage& image) {
    if (request != m_nPreviewRequest) return;  // the user has moved on
    const QImage picture(image.rgb.data(), image.width, image.height, image.width * 3, QImage::Format_RGB888);
    m_lblPreview->setPixmap(QPixmap::fromImage(picture));  // copies the pixels
}

// ---------------------------------------------------------------- download

void CTarvikDlg::OnDownload() {
    if (m_results.SelectedBytes() == 0) return;
    m_job.SetPlayableCopies(MediaSupported() && m_chkMp4->isChecked());
    switch (m_job.Start(m_results.SelectedRecords(), QFile::encodeName(m_strPath).toStdString())) {
        case CDownloadJob::StartResult::NoSpace:
            ShowMessage(Translate("Storage device is no space!"), QMessageBox::Critical);
            return;
        case CDownloadJob::StartResult::FolderUnusable:
            ShowMessage(Translate("The download folder cannot be used:") + "\n" + m_strPath.toStdString() + ": " +
                            strerror(m_job.FolderError()),
                        QMessageBox::Critical);
            return;
        case CDownloadJob::StartResult::NothingSelected:
        case CDownloadJob::StartResult::Busy:
            return;
        case CDownloadJob::StartResult::Started:
            break;
    }
    m_bDownloading = true;
    m_nJobStart = time(nullptr);
    m_nLastPercent = -1;
    m_timer.start();
    UpdateControls();
}

void CTarvikDlg::OnTimer() {
    if (m_job.Running()) {
        const int percent = m_job.Percent();
        if (percent <= 100 && percent != m_nLastPercent) {
            m_nLastPercent = percent;
            m_prgDownload->setValue(percent);
        }
        return;
    }
    m_timer.stop();
    m_job.Wait();
    m_prgDownload->setValue(0);
    m_bDownloading = false;
    UpdateControls();
    // Every job, also a stopped one, goes into the folder's report.
    const std::string reportError = WriteJobReport();
    if (!reportError.empty()) {
        ShowMessage(Translate("The job report could not be written:") + "\n" + reportError, QMessageBox::Warning);
    }
    // Empty after a stop request; otherwise "Download Completely!" only when
    // every recording was copied whole, else how many were not, and why.
    std::string message = m_job.CompletionMessage();
    if (message.empty()) return;
    if (m_job.NotCopiedCount() == 0) {
        if (reportError.empty()) {
            message += "\n" + Translate("The copies' SHA-256 manifest and the job report are in the download folder:") +
                       "\n" + m_strPath.toStdString();
        }
        ShowMessage(message, QMessageBox::Information);
        return;
    }
    int listed = 0;
    for (const CopyOutcome& outcome : m_job.Outcomes()) {
        if (outcome.Whole()) continue;
        if (++listed > kFailuresListed) {
            message += "\n...";
            break;
        }
        const char* name = outcome.record.entry.name;
        message += "\n" + std::string(name, strnlen(name, sizeof outcome.record.entry.name)) + ": " +
                   DescribeFailure(outcome);
    }
    ShowMessage(message, QMessageBox::Warning);
}

std::string CTarvikDlg::WriteJobReport() {
    const ReportJob job{NewJobId(m_nJobStart), "tarvik-gui", m_strSettings, ReportSources(m_job.Records()),
                        m_nJobStart, time(nullptr), m_nClockOffset};
    std::string error;
    AppendReport(QFile::encodeName(m_strPath).toStdString(), job, ReportRecordings(m_job.Records(), m_job.Outcomes()),
                 &error);
    return error;
}

void CTarvikDlg::StopDownload() { m_job.Stop(); }

void CTarvikDlg::OnCancelDownload() { StopDownload(); }

bool CTarvikDlg::OnClose() {
    if (!m_bDownloading) return true;
    if (ShowMessage(Translate("Downloading now, Exit?"), QMessageBox::Question, QMessageBox::Yes | QMessageBox::No) !=
        QMessageBox::Yes) {
        return false;
    }
    StopDownload();
    m_timer.stop();
    WriteJobReport();  // the stopped job too; nobody is left to tell if it fails
    return true;
}

void CTarvikDlg::reject() {
    if (OnClose()) QDialog::reject();
}
