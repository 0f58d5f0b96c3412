// Tests of the ".nvr" file format: lines, fields, page text, commands and the file walk.
#include "nvram/nvrformat.h"

#include <QBuffer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

namespace {

const QByteArray kHeaderBytes = QByteArrayLiteral("Page Number | Value | Description");

// A two-field line is marked so that it never reads like a line with an empty description.
QString render(const NvrParameter &parameter)
{
    return parameter.pageText + QLatin1Char('|') + parameter.value + QLatin1Char('|')
        + parameter.description
        + (parameter.hasDescription ? QString() : QStringLiteral(" [two fields]"));
}

QStringList walk(QIODevice *device)
{
    NvrLineReader reader(device);
    NvrParameter parameter;
    QStringList lines;
    while (reader.next(parameter))
        lines << render(parameter);
    return lines;
}

} // namespace

class TestNvrFormat : public QObject {
    Q_OBJECT

private slots:
    void linesJoinFieldsWithSeparator_data();
    void linesJoinFieldsWithSeparator();
    void pageNumberPadsToWidthAndNeverCuts_data();
    void pageNumberPadsToWidthAndNeverCuts();
    void pageTextIsANumberOnlyAsTheReadWritesIt_data();
    void pageTextIsANumberOnlyAsTheReadWritesIt();
    void splitConsumesOnlyExactSeparators_data();
    void splitConsumesOnlyExactSeparators();
    void answerDataDropsHashesAndPrefix_data();
    void answerDataDropsHashesAndPrefix();
    void commandsConcatenateTheirPieces_data();
    void commandsConcatenateTheirPieces();
    void walkYieldsParameterLines_data();
    void walkYieldsParameterLines();
    void writtenFileReadsBackToSameFields();
};

void TestNvrFormat::linesJoinFieldsWithSeparator_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("header") << NvrHeaderLine() << kHeaderBytes;
    QTest::newRow("dataLine") << NvrDataLine("000A", "7", "Speed")
                              << QByteArray("000A | 7 | Speed");
    QTest::newRow("emptyValueAndDescription")
        << NvrDataLine("0001", QString(), QString()) << QByteArray("0001 |  | ");
}

void TestNvrFormat::linesJoinFieldsWithSeparator()
{
    QFETCH(QString, line);
    QFETCH(QByteArray, expected);

    QCOMPARE(line.toUtf8(), expected);
}

void TestNvrFormat::pageNumberPadsToWidthAndNeverCuts_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("expected");

    QTest::newRow("zero") << 0 << "0000";
    QTest::newRow("ten") << 10 << "000A";
    QTest::newRow("byteMax") << 255 << "00FF";
    QTest::newRow("lastFourDigitPage") << 0xFFFF << "FFFF";
    QTest::newRow("pageAfterFFFF") << 0x10000 << "10000";
}

void TestNvrFormat::pageNumberPadsToWidthAndNeverCuts()
{
    QFETCH(int, number);
    QFETCH(QString, expected);

    QCOMPARE(PageNumberToHex(number, 4), expected);
}

// -1: not a page text.
void TestNvrFormat::pageTextIsANumberOnlyAsTheReadWritesIt_data()
{
    QTest::addColumn<QString>("pageText");
    QTest::addColumn<int>("expected");

    QTest::newRow("zero") << "0000" << 0;
    QTest::newRow("pageAfterFFFF") << "10000" << 0x10000;
    QTest::newRow("largestUpperCase") << "7FFFFFFF" << 0x7FFFFFFF;
    QTest::newRow("twoDigits") << "05" << -1;
    QTest::newRow("lowerCase") << "00af" << -1;
    QTest::newRow("fiveDigitsWithZeroInFront") << "00002" << -1;
    QTest::newRow("sign") << "+001" << -1;
    QTest::newRow("beyondInt") << "80000000" << -1;
}

void TestNvrFormat::pageTextIsANumberOnlyAsTheReadWritesIt()
{
    QFETCH(QString, pageText);
    QFETCH(int, expected);

    int number = -1;
    QCOMPARE(PageTextToNumber(pageText, &number), expected >= 0);
    QCOMPARE(number, expected);
}

void TestNvrFormat::splitConsumesOnlyExactSeparators_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("spacedSeparators") << "0001 | 7 | x" << QStringList { "0001", "7", "x" };
    QTest::newRow("bareBars") << "0001|7|x" << QStringList { "0001", "7", "x" };
    QTest::newRow("fourFields") << "0001 | 7 | x | y" << QStringList { "0001", "7", "x", "y" };
    QTest::newRow("barInsideDescription")
        << "0001 | 7 | a|b" << QStringList { "0001", "7", "a", "b" };
    QTest::newRow("outerBlanksKept") << "  0001 |  7 " << QStringList { "  0001", " 7 " };
    QTest::newRow("doubleBlankBeforeBar") << "0001  | 7" << QStringList { "0001 ", "7" };
    QTest::newRow("trailingSeparator") << "0001 | 7 | " << QStringList { "0001", "7", "" };
    QTest::newRow("sharedBlankBetweenBars") << "0001 | | x" << QStringList { "0001", "", " x" };
    QTest::newRow("twoSeparatorsOnly") << " |  | " << QStringList { "", "", "" };
    QTest::newRow("overlappingSeparators") << " | | " << QStringList { "", "", " " };
    QTest::newRow("noBar") << "0001 7 x" << QStringList { "0001 7 x" };
}

void TestNvrFormat::splitConsumesOnlyExactSeparators()
{
    QFETCH(QString, line);
    QFETCH(QStringList, expected);

    QCOMPARE(SplitNvrFields(line), expected);
}

void TestNvrFormat::answerDataDropsHashesAndPrefix_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nineCharsGiveOne") << "$2200035#"
                                      << "5";
    QTest::newRow("hashInMiddleRemoved") << "$2200#0312#34#"
                                         << "1234";
    QTest::newRow("blanksKept") << "$230003 Fan speed #"
                                << " Fan speed ";
    QTest::newRow("exactlyPrefixGivesEmpty") << "$220003#"
                                             << "";
    QTest::newRow("shortAnswerGivesEmpty") << "$2#"
                                           << "";
    QTest::newRow("emptyAnswer") << ""
                                 << "";
}

void TestNvrFormat::answerDataDropsHashesAndPrefix()
{
    QFETCH(QString, answer);
    QFETCH(QString, expected);

    QCOMPARE(AnswerData(answer), expected);
}

void TestNvrFormat::commandsConcatenateTheirPieces_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expected");

    QTest::newRow("valueQuestion") << ValueQuestion(10) << "$22000A%";
    QTest::newRow("descriptionQuestion") << DescriptionQuestion(10) << "$23000A%";
    QTest::newRow("questionBeyondFFFF") << ValueQuestion(0x10000) << "$2210000%";
    QTest::newRow("valueWrite") << ValueWriteCommand("0001", "7 ") << "$2000017 %";
    QTest::newRow("descriptionWrite") << DescriptionWriteCommand("0001", "Fan") << "$210001Fan%";
    QTest::newRow("emptyDescriptionWrite") << DescriptionWriteCommand("01", "") << "$2101%";
}

void TestNvrFormat::commandsConcatenateTheirPieces()
{
    QFETCH(QString, command);
    QFETCH(QString, expected);

    QCOMPARE(command, expected);
}

void TestNvrFormat::walkYieldsParameterLines_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("expected");

    const QByteArray header = kHeaderBytes + '\n';

    QTest::newRow("emptyFile") << QByteArray() << QStringList();
    QTest::newRow("headerOnly") << header << QStringList();
    QTest::newRow("headerWithoutLineEnd") << kHeaderBytes << QStringList();
    QTest::newRow("firstDataLineDropped")
        << QByteArray("0000 | 1 | a\n0001 | 7 | b\n") << QStringList { "0001|7|b" };
    QTest::newRow("lfLineEnds") << header + "0000 | 1 | Last\n0001 | 7 | Fan\n"
                                << QStringList { "0000|1|Last", "0001|7|Fan" };
    QTest::newRow("crlfLineEnds") << kHeaderBytes + "\r\n0000 | 1 | Last\r\n0001 | 7 | Fan\r\n"
                                  << QStringList { "0000|1|Last", "0001|7|Fan" };
    QTest::newRow("loneCarriageReturnStays") << header + "0001 | 7\r | x\r\n"
                                             << QStringList { "0001|7\r|x" };
    QTest::newRow("utf8Bom") << "\xEF\xBB\xBF" + header + "0001 | caf\xC3\xA9 | x\n"
                             << QStringList { QStringLiteral("0001|caf\u00e9|x") };

    QStringEncoder toUtf16Le(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    const QByteArray utf16Le = toUtf16Le(
        QString::fromUtf8(header) + QStringLiteral("0001 | \u00e9t\u00e9 | x\r\n0002 | 8 | y\n"));
    QTest::newRow("utf16LeBom") << utf16Le
                                << QStringList { QStringLiteral("0001|\u00e9t\u00e9|x"),
                                       "0002|8|y" };

    QTest::newRow("blankAndBarlessLinesSkipped") << header + "   \n----------\n0001 | 7 | x\n"
                                                 << QStringList { "0001|7|x" };
    QTest::newRow("emptyLineInMiddle") << header + "0001 | 7 | x\n\n0002 | 8 | y\n"
                                       << QStringList { "0001|7|x", "0002|8|y" };
    QTest::newRow("emptyLinesAtEnd") << header + "0001 | 7 | x\n\n\n" << QStringList { "0001|7|x" };
    QTest::newRow("lastLineWithoutLineEnd")
        << header + "0001 | 7 | x\n0002 | 8 | y" << QStringList { "0001|7|x", "0002|8|y" };
    QTest::newRow("twoFieldLine") << header + "0001 | 7 | x\n0002 | 8\n"
                                  << QStringList { "0001|7|x", "0002|8| [two fields]" };
    QTest::newRow("emptyDescriptionIsAField") << header + "0001 | 7 | \n"
                                              << QStringList { "0001|7|" };
    QTest::newRow("fieldsAfterThirdIgnored") << header + "0001 | 7 | x | y\n0002|8|a|b\n"
                                             << QStringList { "0001|7|x", "0002|8|a" };
    QTest::newRow("bareBarsAndOuterBlanks") << header + " 0001|7 |x\n"
                                            << QStringList { " 0001|7 |x" };
    QTest::newRow("latin1AsUtf8") << header + "00E9 | \xC3\xA9t\xC3\xA9 | caf\xC3\xA9\n"
                                  << QStringList { QStringLiteral("00E9|\u00e9t\u00e9|caf\u00e9") };
}

void TestNvrFormat::walkYieldsParameterLines()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, expected);

    QBuffer buffer(&bytes);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QCOMPARE(walk(&buffer), expected);
}

void TestNvrFormat::writtenFileReadsBackToSameFields()
{
    const QList<QStringList> pages {
        { "0000", "3", "Last page" },
        { "0001", "7 ", "Value with trailing blank" },
        { "0002", QStringLiteral("caf\u00e9"), QStringLiteral("\u00e9") },
        { "0003", "", "" },
    };
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath("written.nvr"));

    QVERIFY(file.open(QIODevice::WriteOnly));
    QTextStream out(&file);
    out << NvrHeaderLine() << Qt::endl;
    for (const QStringList &page : pages)
        out << NvrDataLine(page.at(0), page.at(1), page.at(2)) << Qt::endl;
    file.close();

    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
        kHeaderBytes
            + "\n"
              "0000 | 3 | Last page\n"
              "0001 | 7  | Value with trailing blank\n"
              "0002 | caf\xC3\xA9 | \xC3\xA9\n"
              "0003 |  | \n");

    QVERIFY(file.seek(0));
    QStringList expected;
    for (const QStringList &page : pages)
        expected << page.join(QLatin1Char('|'));
    QCOMPARE(walk(&file), expected);
}

QTEST_GUILESS_MAIN(TestNvrFormat)
#include "tst_nvrformat.moc"
