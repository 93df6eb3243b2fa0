// Paging and ticks in the dialog: pages of twelve fetched as the user pages
// on, the paging buttons' states, and ticks and their byte total.
#include <QCheckBox>

#include "dialog_harness.h"

class TestSearch : public QObject {
    Q_OBJECT
private slots:
    // 25 recordings: pages of 12, 12 and 1, each batch fetched only when the
    // user pages past the held records. Ticks belong to the recordings, not
    // to the rows: they come back with their page, and the byte total
    // follows every change.
    void pagingAndTicks() {
        Searched s(25);
        CTestDlg& dlg = s.dlg;
        QCOMPARE(dlg.Column(0).join(' '), QString("1 2 3 4 5 6 7 8 9 10 11 12"));
        QCOMPARE(dlg.Results().Items().size(), size_t(12));
        QCOMPARE(dlg.EnabledButtons(), (QStringList{"IDC_BROWSE", "IDC_NEXT_PAGE", "IDC_SEARCH", "IDC_SELECT_ALL"}));
        dlg.Tick(0);
        dlg.Tick(5);
        QVERIFY(dlg.Control("IDC_DOWNLOAD")->isEnabled());
        dlg.Click("IDC_NEXT_PAGE");
        QCOMPARE(dlg.Column(0).join(' '), QString("13 14 15 16 17 18 19 20 21 22 23 24"));
        QCOMPARE(dlg.Results().Items().size(), size_t(24));
        QCOMPARE(dlg.Ticks(), QString("000000000000"));
        QVERIFY(dlg.Control("IDC_NEXT_PAGE")->isEnabled());  // the search is not known to be done
        dlg.Tick(1);                                         // record 14
        dlg.Click("IDC_NEXT_PAGE");
        QCOMPARE(dlg.Column(0), QStringList{"25"});
        QCOMPARE(dlg.Column(4), QStringList{"32Kb"});
        QVERIFY(!dlg.Control("IDC_NEXT_PAGE")->isEnabled());
        dlg.Click("IDC_PREV_PAGE");
        dlg.Click("IDC_PREV_PAGE");
        QVERIFY(!dlg.Control("IDC_PREV_PAGE")->isEnabled());
        QCOMPARE(dlg.Ticks(), QString("100001000000"));
        QCOMPARE(dlg.Results().SelectedBytes(), Session::Bytes(1) + Session::Bytes(6) + Session::Bytes(14));

        // The first row is ticked: Select All unticks the page, leaving
        // record 14 ticked; then it ticks every row of the page.
        dlg.Click("IDC_SELECT_ALL");
        QCOMPARE(dlg.Ticks(), QString("000000000000"));
        QCOMPARE(dlg.Results().SelectedBytes(), Session::Bytes(14));
        dlg.Click("IDC_SELECT_ALL");
        QCOMPARE(dlg.Ticks(), QString("111111111111"));
        uint64_t total = Session::Bytes(14);
        for (int i = 1; i <= 12; i++) total += Session::Bytes(i);
        QCOMPARE(dlg.Results().SelectedBytes(), total);
        // A new search forgets every tick.
        dlg.Click("IDC_SEARCH");
        QCOMPARE(dlg.Ticks(), QString("000000000000"));
        QVERIFY(dlg.messages.empty());
    }

    // The last recording loses its first cluster: with the box ticked, its
    // second cluster follows the other recordings, marked.
    void orphanedFootage() {
        Searched s(8);
        const kx_dir_item cleared{};
        QCOMPARE(set_dir_item_info(get_pdp(0, 0), s.recs[7].chain[0], &cleared, 1), 0);
        s.dlg.Click("IDC_SEARCH");
        QCOMPARE(s.dlg.Column(0).size(), 7);
        s.dlg.Control<QCheckBox>("IDC_ORPHANS")->setChecked(true);
        s.dlg.Click("IDC_SEARCH");
        QCOMPARE(s.dlg.Column(1).size(), 8);
        QCOMPARE(s.dlg.Column(1).last(), QString("Disk1 (orphaned)"));
        QCOMPARE(s.dlg.Column(4).last(), QString("7Kb"));
    }
};

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
