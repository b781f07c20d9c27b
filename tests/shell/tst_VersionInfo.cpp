#include "about/VersionInfo.h"
#include "about/VersionResource.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTest>

class tst_VersionInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("BrasvikV6")); }

    void language_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<int>("language");
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << 1;
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << 2;
        QTest::newRow("de_AT") << QLocale(QLocale::German, QLocale::Austria) << 2;
        QTest::newRow("de_CH") << QLocale(QLocale::German, QLocale::Switzerland) << 2;
        QTest::newRow("fr_FR") << QLocale(QLocale::French, QLocale::France) << 1;
    }

    void language()
    {
        QFETCH(QLocale, locale);
        QTEST(TVerInfoForm::SystemLanguage(locale), "language");
    }

    void englishTexts()
    {
        TVerInfoForm f(nullptr, TVersionResource::program(), QLocale(QLocale::English));
        f.FormShow();
        QCOMPARE(f.windowTitle(), QStringLiteral("About BrasvikV6"));
        QCOMPARE(f.Company->text(), QStringLiteral("Halvero"));
        QCOMPARE(f.Product->text(), QStringLiteral("BrasvikV6"));
        QCOMPARE(f.ProductVersion->text(), QStringLiteral("Product version: " BRASVIK_VERSION));
        QCOMPARE(f.FileVersion->text(), QStringLiteral("File version: " BRASVIK_VERSION));
        QVERIFY(f.Copyright->text().contains(QStringLiteral("Halvero")));
        QCOMPARE(f.MemAvail->text(), QStringLiteral("Available memory:"));
        QCOMPARE(f.SysResources->text(), QStringLiteral("System resources:"));
        QCOMPARE(f.Button->text(), QStringLiteral("OK"));
        QVERIFY(f.MemSize->text().endsWith(QStringLiteral(" KB")));
        QVERIFY(f.ResSize->text().endsWith(QStringLiteral("% free")));
    }

    void germanTexts()
    {
        TVerInfoForm f(nullptr, TVersionResource::program(), QLocale(QLocale::German));
        f.FormShow();
        QCOMPARE(f.windowTitle(), QString::fromUtf8("Info \u00fcber BrasvikV6"));
        QCOMPARE(f.ProductVersion->text(), QStringLiteral("Produktversion: " BRASVIK_VERSION));
        QCOMPARE(f.FileVersion->text(), QStringLiteral("Dateiversion: " BRASVIK_VERSION));
        QCOMPARE(f.MemAvail->text(), QString::fromUtf8("Verf\u00fcgbarer Arbeitsspeicher:"));
        QCOMPARE(f.SysResources->text(), QStringLiteral("Systemressourcen:"));
        QVERIFY(f.ResSize->text().endsWith(QStringLiteral("% frei")));
    }

    void noEmptyBand_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<bool>("egg");
        QTest::newRow("English") << QLocale(QLocale::English) << false;
        QTest::newRow("English, egg shown") << QLocale(QLocale::English) << true;
    }

    // The box is as tall as its texts need: no empty band above the copyright, nothing cut.
    void noEmptyBand()
    {
        QFETCH(QLocale, locale);
        QFETCH(bool, egg);
        TVerInfoForm f(nullptr, TVersionResource::program(), locale);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        if (egg)
            QTest::keyClick(&f, Qt::Key_F1, Qt::ControlModifier);
        QCOMPARE(f.EggImage->isVisible(), egg);
        int above = f.AppImage->geometry().bottom();
        for (QWidget *w :
             std::initializer_list<QWidget *> {f.EggImage, f.Company, f.Product, f.ProductVersion,
                                               f.FileVersion, f.EasterEggLabel}) {
            if (w->isVisible())
                above = std::max(above, w->geometry().bottom());
        }
        const auto *grid = qobject_cast<QGridLayout *>(f.layout());
        QVERIFY(grid);
        const int gap = f.Copyright->geometry().top() - above - 1;
        QVERIFY2(gap <= 2 * grid->verticalSpacing() + 2, qPrintable(QString::number(gap)));
        QVERIFY(f.Copyright->height() >= f.Copyright->heightForWidth(f.Copyright->width()));
        QVERIFY(f.Button->geometry().bottom() < f.height());
    }

    void withoutAResourceOnlyThePrefixesShow()
    {
        const TVersionResource empty;
        TVerInfoForm f(nullptr, empty, QLocale(QLocale::English));
        f.FormShow();
        QCOMPARE(f.Company->text(), QString());
        QCOMPARE(f.Product->text(), QString());
        QCOMPARE(f.Copyright->text(), QString());
        QCOMPARE(f.ProductVersion->text(), QStringLiteral("Product version: "));
        QCOMPARE(f.FileVersion->text(), QStringLiteral("File version: "));
    }

    void resourceQueries()
    {
        const TVersionResource &r = TVersionResource::program();
        QVERIFY(r.size() > 0);
        TVersionResource::Translation t;
        QVERIFY(r.translation(&t));
        QCOMPARE(t.language, quint16(0x0409));
        QString value;
        QVERIFY(r.queryValue(QStringLiteral("\\StringFileInfo\\040904E4\\CompanyName"), &value));
        QCOMPARE(value, QStringLiteral("Halvero"));
        QVERIFY(r.queryValue(QStringLiteral("StringFileInfo\\040904E4\\Easter egg"), &value));
        QVERIFY(!r.queryValue(QStringLiteral("StringFileInfo\\040704E4\\CompanyName"), &value));
        QVERIFY(!r.queryValue(QStringLiteral("StringFileInfo\\040904E4\\Comments"), &value));
    }

    void easterEgg()
    {
        TVerInfoForm f(nullptr, TVersionResource::program(), QLocale(QLocale::English));
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QVERIFY(!f.EggShown);
        QTest::keyClick(&f, Qt::Key_F1, Qt::ControlModifier);
        QVERIFY(f.EggShown);
        QVERIFY(f.EggImage->isVisible());
        QCOMPARE(f.EasterEggLabel->text(), f.eggText());
        QVERIFY(!f.eggText().isEmpty());
        QTest::keyClick(&f, Qt::Key_F1, Qt::ControlModifier);
        QVERIFY(!f.EggShown);
        QCOMPARE(f.EasterEggLabel->text(), QString());
        QTest::keyClick(&f, Qt::Key_F1, Qt::ControlModifier);
        QTest::keyClick(&f, Qt::Key_A);
        QVERIFY(!f.EggShown);
        QVERIFY(f.EggImage->isHidden());
    }

    void eggAndLoneModifierKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("stillShown");
        QTest::newRow("Ctrl") << int(Qt::Key_Control) << true;
        QTest::newRow("Shift") << int(Qt::Key_Shift) << false;
        QTest::newRow("Alt") << int(Qt::Key_Alt) << false;
        QTest::newRow("Meta") << int(Qt::Key_Meta) << false;
    }

    void eggAndLoneModifierKeys()
    {
        QFETCH(int, key);
        QFETCH(bool, stillShown);
        TVerInfoForm f(nullptr, TVersionResource::program(), QLocale(QLocale::English));
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QTest::keyClick(&f, Qt::Key_F1, Qt::ControlModifier);
        QVERIFY(f.EggShown);
        QTest::keyClick(&f, Qt::Key(key));
        QCOMPARE(f.EggShown, stillShown);
        QCOMPARE(f.EggImage->isVisible(), stillShown);
        QCOMPARE(f.EasterEggLabel->text().isEmpty(), !stillShown);
    }

    void eggWithoutValueShowsTheIconOnly()
    {
        TVersionResource r;
        r.setTranslation({0x0409, 0x04E4});
        r.setString(QStringLiteral("CompanyName"), QStringLiteral("Halvero"));
        TVerInfoForm f(nullptr, r, QLocale(QLocale::English));
        f.FormShow();
        f.FormKeyDown(Qt::Key_F1, Qt::ControlModifier);
        QVERIFY(f.EggShown);
        QCOMPARE(f.EasterEggLabel->text(), QString());
    }

    void memoryTexts()
    {
        QCOMPARE(TVerInfoForm::memSizeText(8192000000ULL), QStringLiteral("8000000 KB"));
        QCOMPARE(TVerInfoForm::memSizeText(512000), QStringLiteral("500 KB"));
        // (3 + 1) * 100 / (8 + 2) units of 1024000 bytes
        QCOMPARE(TVerInfoForm::resSizeText(3 * 1024000, 1024000, 8 * 1024000, 2 * 1024000,
                                           TVerInfoForm::English),
                 QStringLiteral("40% free"));
        QCOMPARE(TVerInfoForm::resSizeText(0, 0, 0, 0, TVerInfoForm::German),
                 QStringLiteral("0% frei"));
    }

    void escapeClosesWithOk()
    {
        TVerInfoForm f(nullptr);
        f.show();
        QTest::keyClick(&f, Qt::Key_Escape);
        QCOMPARE(f.result(), 1);
        QVERIFY(!f.isVisible());
    }
};

QTEST_MAIN(tst_VersionInfo)
#include "tst_VersionInfo.moc"
