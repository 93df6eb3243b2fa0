// Search, paging and ticks in the dialog: the messages when there is nothing
// to show, pages of twelve fetched as the user pages on, the paging
// buttons' states, and ticks and their byte total across pages.
#include "core/startup.h"
#include "dialog_harness.h"

namespace {

QStringList Indexes(int first, int last) {
    QStringList texts;
    for (int i = first; i <= last; i++) texts << QString::number(i);
    return texts;
}

// The sizes of SampleDay's recordings, by 1-based index.
uint64_t SampleBytes(int index) { return (7 + static_cast<uint64_t>(index)) * 1024; }

}  // namespace

class TestSearch : public QObject {
    Q_OBJECT
private slots:
    void nothingToShow() {
        Session s;
        QVERIFY2(s.Start({SampleDay(3)}), s.Error().c_str());
        {
            CTestDlg dlg(0);  // start-up found no disk
            QCOMPARE(dlg.Control<QComboBox>("IDC_DISK")->count(), 0);
            dlg.Click("IDC_SEARCH");
            QCOMPARE(dlg.MessageTexts(), QStringList{"No record disk."});
            QCOMPARE(dlg.messages[0].caption, QString("Message"));
        }
        CTestDlg dlg(DiskCount());
        SetWindow(dlg, "2024-03-01 12:00:00", "2024-03-01 23:59:59");  // after the recordings
        dlg.Click("IDC_SEARCH");
        SetWindow(dlg, "2024-03-01 09:00:00", "2024-03-01 08:00:00");  // a reversed window
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.MessageTexts(), (QStringList{"No record.", "No record."}));
        QCOMPARE(dlg.List()->topLevelItemCount(), 0);
        // A window of one instant, the first recording's start, is searched.
        SetWindow(dlg, "2024-03-01 08:00:00", "2024-03-01 08:00:00");
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.messages.size(), size_t(2));
        QCOMPARE(dlg.Rows(), (std::vector<QStringList>{
                                 {"1", "Disk1", "2024-03-01 08:00:00", "2024-03-01 08:01:00", "8Kb"}}));
    }

    // 25 recordings: pages of 12, 12 and 1; each batch is fetched only when
    // the user pages past the held records.
    void pagingThroughTwentyFive() {
        Session s;
        QVERIFY2(s.Start({SampleDay(25)}), s.Error().c_str());
        CTestDlg dlg(DiskCount());
        SetWindow(dlg, "2024-03-01 00:00:00", "2024-03-01 23:59:59");
        dlg.Click("IDC_SEARCH");
        QVERIFY(dlg.messages.empty());
        QCOMPARE(dlg.Column(0), Indexes(1, 12));
        QCOMPARE(dlg.Results().Items().size(), size_t(12));
        QVERIFY(!dlg.Button("IDC_PREV_PAGE")->isEnabled());
        QVERIFY(dlg.Button("IDC_NEXT_PAGE")->isEnabled());
        QVERIFY(dlg.Button("IDC_SELECT_ALL")->isEnabled());
        QVERIFY(!dlg.Button("IDC_DOWNLOAD")->isEnabled());

        dlg.Click("IDC_NEXT_PAGE");
        QCOMPARE(dlg.Column(0), Indexes(13, 24));
        QCOMPARE(dlg.Results().Items().size(), size_t(24));
        QVERIFY(dlg.Button("IDC_PREV_PAGE")->isEnabled());
        QVERIFY(dlg.Button("IDC_NEXT_PAGE")->isEnabled());  // the search is not known to be done

        dlg.Click("IDC_NEXT_PAGE");
        QCOMPARE(dlg.Rows(), (std::vector<QStringList>{
                                 {"25", "Disk1", "2024-03-01 12:00:00", "2024-03-01 12:01:00", "32Kb"}}));
        QVERIFY(!dlg.Button("IDC_NEXT_PAGE")->isEnabled());

        dlg.Click("IDC_PREV_PAGE");
        dlg.Click("IDC_PREV_PAGE");
        QCOMPARE(dlg.Column(0), Indexes(1, 12));
        QCOMPARE(dlg.Column(2)[11], QString("2024-03-01 09:50:00"));
        QVERIFY(!dlg.Button("IDC_PREV_PAGE")->isEnabled());
        QVERIFY(dlg.messages.empty());
    }

    // Ticks belong to the recordings, not to the rows: they come back with
    // their page, and the byte total follows every change.
    void ticksAcrossPagesAndSelectAll() {
        Session s;
        QVERIFY2(s.Start({SampleDay(25)}), s.Error().c_str());
        CTestDlg dlg(DiskCount());
        SetWindow(dlg, "2024-03-01 00:00:00", "2024-03-01 23:59:59");
        dlg.Click("IDC_SEARCH");
        dlg.Tick(0, true);
        dlg.Tick(5, true);
        QCOMPARE(dlg.Results().SelectedBytes(), SampleBytes(1) + SampleBytes(6));
        QVERIFY(dlg.Button("IDC_DOWNLOAD")->isEnabled());

        dlg.Click("IDC_NEXT_PAGE");
        for (int r = 0; r < 12; r++) QCOMPARE(dlg.List()->topLevelItem(r)->checkState(0), Qt::Unchecked);
        dlg.Tick(1, true);  // record 14
        dlg.Click("IDC_PREV_PAGE");
        for (int r = 0; r < 12; r++) {
            QCOMPARE(dlg.List()->topLevelItem(r)->checkState(0), r == 0 || r == 5 ? Qt::Checked : Qt::Unchecked);
        }
        QCOMPARE(dlg.Results().SelectedBytes(), SampleBytes(1) + SampleBytes(6) + SampleBytes(14));

        // The first row is ticked: Select All unticks the whole page and
        // leaves record 14 on page 2 ticked.
        dlg.Click("IDC_SELECT_ALL");
        for (int r = 0; r < 12; r++) QCOMPARE(dlg.List()->topLevelItem(r)->checkState(0), Qt::Unchecked);
        QCOMPARE(dlg.Results().SelectedBytes(), SampleBytes(14));
        // Now the first row is unticked: Select All ticks every row of the page.
        dlg.Click("IDC_SELECT_ALL");
        uint64_t page = 0;
        for (int r = 0; r < 12; r++) {
            QCOMPARE(dlg.List()->topLevelItem(r)->checkState(0), Qt::Checked);
            page += SampleBytes(r + 1);
        }
        QCOMPARE(dlg.Results().SelectedBytes(), page + SampleBytes(14));

        for (int r = 0; r < 12; r++) dlg.Tick(r, false);
        dlg.Click("IDC_NEXT_PAGE");
        dlg.Tick(1, false);
        QCOMPARE(dlg.Results().SelectedBytes(), uint64_t(0));
        QVERIFY(!dlg.Button("IDC_DOWNLOAD")->isEnabled());

        // A new search forgets every tick.
        dlg.Tick(0, true);
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.Results().SelectedBytes(), uint64_t(0));
        QCOMPARE(dlg.List()->topLevelItem(0)->checkState(0), Qt::Unchecked);
    }
};

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
