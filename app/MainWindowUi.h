#pragma once

#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QWidget>

namespace vex::app
{
// The widgets of the installer's window, laid out for the instrument's 800 x 480 display.
class MainWindowUi
{
public:
    // The elapsed time, the clock and the error text are sized in pixels, like the labels that hold them:
    // a point size grows with the display's resolution, and at 18 pt "Elapsed time:" and "99:59:59" are
    // already wider than their labels on a 100 dpi display.
    static constexpr int kTimePixels = 20;
    // Three lines in the error label's 71 pixels inside its margin.
    static constexpr int kErrorPixels = 19;

    QWidget* centralWidget = nullptr;
    QProgressBar* pbUpgrade = nullptr;
    QLabel* lblTitle = nullptr;
    QLabel* lblTime = nullptr;
    QLabel* lblTimeValue = nullptr;
    QLabel* lblTimeLeft = nullptr;
    QLabel* lblActivity = nullptr;
    QLabel* lblStatus = nullptr;

    void setupUi(QMainWindow* window)
    {
        window->resize(800, 480);
        centralWidget = new QWidget(window);
        centralWidget->setObjectName(QStringLiteral("centralWidget"));

        pbUpgrade = new QProgressBar(centralWidget);
        pbUpgrade->setObjectName(QStringLiteral("pbUpgrade"));
        pbUpgrade->setGeometry(30, 290, 741, 41);
        pbUpgrade->setFont(MakeFont(18, QFont::Bold));
        pbUpgrade->setValue(0);
        pbUpgrade->setFormat(QStringLiteral("%p%"));

        lblTitle = new QLabel(centralWidget);
        lblTitle->setObjectName(QStringLiteral("lblTitle"));
        lblTitle->setGeometry(2, 2, 796, 32);
        QFont titleFont = MakeFont(18, QFont::Bold);
        titleFont.setFamily(QStringLiteral("MS Shell Dlg 2"));
        titleFont.setItalic(false);
        lblTitle->setFont(titleFont);
        lblTitle->setStyleSheet(
            QStringLiteral("background-color: rgb(0, 0, 127);\ncolor: rgb(255, 255, 255);"));
        lblTitle->setAlignment(Qt::AlignCenter);

        lblTime = new QLabel(centralWidget);
        lblTime->setObjectName(QStringLiteral("lblTime"));
        lblTime->setGeometry(510, 400, 151, 41);
        lblTime->setFont(MakePixelFont(kTimePixels, QFont::Normal));
        lblTime->setAlignment(Qt::AlignCenter);

        lblTimeValue = new QLabel(centralWidget);
        lblTimeValue->setObjectName(QStringLiteral("lblTimeValue"));
        lblTimeValue->setGeometry(660, 400, 101, 41);
        QFont clockFont = MakePixelFont(kTimePixels, QFont::Normal);
        clockFont.setKerning(true);
        lblTimeValue->setFont(clockFont);
        SetPlainFrame(lblTimeValue);
        lblTimeValue->setTextFormat(Qt::RichText);
        lblTimeValue->setAlignment(Qt::AlignCenter);

        // Left of the elapsed time, on its line and in its font: the estimate of the time left, then the
        // outcome.
        lblTimeLeft = new QLabel(centralWidget);
        lblTimeLeft->setObjectName(QStringLiteral("lblTimeLeft"));
        lblTimeLeft->setGeometry(30, 400, 471, 41);
        lblTimeLeft->setFont(MakePixelFont(kTimePixels, QFont::Normal));
        SetPlainFrame(lblTimeLeft);
        lblTimeLeft->setTextFormat(Qt::PlainText);
        lblTimeLeft->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

        lblActivity = new QLabel(centralWidget);
        lblActivity->setObjectName(QStringLiteral("lblActivity"));
        lblActivity->setGeometry(30, 82, 741, 111);
        SetMessageLook(lblActivity);

        lblStatus = new QLabel(centralWidget);
        lblStatus->setObjectName(QStringLiteral("lblStatus"));
        lblStatus->setGeometry(30, 177, 741, 91);
        SetMessageLook(lblStatus);
        // An error comes from the package's own pre.sh, two lines of any length: a long line wraps, and the
        // smaller font leaves room for three lines.
        lblStatus->setFont(MakePixelFont(kErrorPixels, QFont::Normal));
        lblStatus->setWordWrap(true);

        window->setCentralWidget(centralWidget);
        retranslateUi(window);
    }

    void retranslateUi(QMainWindow* window)
    {
        window->setWindowTitle(Tr("MainWindow"));
        lblTitle->setText(Tr("System Update"));
        lblTime->setText(Tr("Elapsed time:"));
        lblTimeValue->setText(Tr("00:00:00"));
        lblActivity->setText(Tr(
            "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" "
            "\"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
            "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"
            "p, li { white-space: pre-wrap; }\n"
            "</style></head><body style=\" font-size:22pt; font-weight:400; font-style:normal;\">\n"
            "<p align=\"center\" style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; "
            "-qt-block-indent:0; text-indent:0px;\"><span style=\" color:#008000;\">UPDATING THE OPERATING "
            "SYSTEM</span></p>\n"
            "<p align=\"center\" style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
            "margin-right:0px; "
            "-qt-block-indent:0; text-indent:0px;\">Please do not turn the instrument "
            "off</p></body></html>"));
        lblStatus->setText(
            Tr("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" "
               "\"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
               "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"
               "p, li { white-space: pre-wrap; }\n"
               "</style></head><body style=\" font-size:22pt; font-weight:400; font-style:normal;\">\n"
               "<p align=\"center\" style=\"-qt-paragraph-type:empty; margin-top:0px; margin-bottom:0px; "
               "margin-left:0px; margin-right:0px; -qt-block-indent:0; text-indent:0px;\"><br "
               "/></p></body></html>"));
    }

private:
    static QString Tr(const char* text) { return QCoreApplication::translate("MainWindow", text); }

    static QFont MakeFont(int pointSize, int weight)
    {
        QFont font;
        font.setPointSize(pointSize);
        font.setWeight(weight);
        return font;
    }

    static QFont MakePixelFont(int pixelSize, int weight)
    {
        QFont font;
        font.setPixelSize(pixelSize);
        font.setWeight(weight);
        return font;
    }

    static void SetPlainFrame(QLabel* label)
    {
        label->setFrameShape(QFrame::NoFrame);
        label->setFrameShadow(QFrame::Plain);
        label->setLineWidth(2);
    }

    static void SetMessageLook(QLabel* label)
    {
        QFont font;
        font.setPointSize(22);
        label->setFont(font);
        SetPlainFrame(label);
        label->setTextFormat(Qt::RichText);
        label->setAlignment(Qt::AlignCenter);
        label->setMargin(10);
    }
};

}  // namespace vex::app
