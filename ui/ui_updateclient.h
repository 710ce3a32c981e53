#ifndef UI_UPDATECLIENT_H
#define UI_UPDATECLIENT_H

#include <QCoreApplication>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QMetaObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QWidget>

QT_BEGIN_NAMESPACE

// The window's form, written out by hand in the order the widgets are
// created and laid out; the window keeps one and reaches every widget here.
class Ui_UpdateClient
{
public:
    QWidget *centralWidget;
    QGridLayout *gridLayout;
    QVBoxLayout *verticalLayout;
    QHBoxLayout *horizontalLayout_3;
    QVBoxLayout *verticalLayout_2;
    QLabel *lastedVersion;
    QSpacerItem *verticalSpacer;
    QProgressBar *progressBar;
    QLabel *label;
    QSpacerItem *verticalSpacer_2;
    QPlainTextEdit *details;
    QHBoxLayout *horizontalLayout_2;
    QLabel *copyright;
    QLabel *downloadSpeed;
    QLabel *completed;
    QHBoxLayout *horizontalLayout;
    QPushButton *btnDetails;
    QSpacerItem *horizontalSpacer;
    QPushButton *btnRun;
    QPushButton *btnStart;

    void setupUi(QMainWindow *UpdateClient)
    {
        if (UpdateClient->objectName().isEmpty())
            UpdateClient->setObjectName(QString::fromUtf8("UpdateClient"));
        UpdateClient->resize(550, 300);
        centralWidget = new QWidget(UpdateClient);
        centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
        centralWidget->setEnabled(true);
        gridLayout = new QGridLayout(centralWidget);
        gridLayout->setSpacing(6);
        gridLayout->setContentsMargins(11, 11, 11, 11);
        gridLayout->setObjectName(QString::fromUtf8("gridLayout"));
        verticalLayout = new QVBoxLayout();
        verticalLayout->setSpacing(6);
        verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));
        horizontalLayout_3 = new QHBoxLayout();
        horizontalLayout_3->setSpacing(6);
        horizontalLayout_3->setObjectName(QString::fromUtf8("horizontalLayout_3"));
        verticalLayout_2 = new QVBoxLayout();
        verticalLayout_2->setSpacing(6);
        verticalLayout_2->setObjectName(QString::fromUtf8("verticalLayout_2"));
        lastedVersion = new QLabel(centralWidget);
        lastedVersion->setObjectName(QString::fromUtf8("lastedVersion"));
        QFont font;
        font.setPointSize(10);
        font.setWeight(75);
        lastedVersion->setFont(font);

        verticalLayout_2->addWidget(lastedVersion);

        verticalSpacer = new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding);

        verticalLayout_2->addItem(verticalSpacer);

        progressBar = new QProgressBar(centralWidget);
        progressBar->setObjectName(QString::fromUtf8("progressBar"));
        progressBar->setMinimumSize(QSize(350, 0));
        progressBar->setValue(0);

        verticalLayout_2->addWidget(progressBar);

        horizontalLayout_3->addLayout(verticalLayout_2);

        label = new QLabel(centralWidget);
        label->setObjectName(QString::fromUtf8("label"));
        label->setPixmap(QPixmap(QString::fromUtf8(":/Resources/images/voxtera3.png")));

        horizontalLayout_3->addWidget(label);

        verticalLayout->addLayout(horizontalLayout_3);

        verticalSpacer_2 = new QSpacerItem(20, 13, QSizePolicy::Minimum, QSizePolicy::Expanding);

        verticalLayout->addItem(verticalSpacer_2);

        details = new QPlainTextEdit(centralWidget);
        details->setObjectName(QString::fromUtf8("details"));

        verticalLayout->addWidget(details);

        horizontalLayout_2 = new QHBoxLayout();
        horizontalLayout_2->setSpacing(6);
        horizontalLayout_2->setObjectName(QString::fromUtf8("horizontalLayout_2"));
        copyright = new QLabel(centralWidget);
        copyright->setObjectName(QString::fromUtf8("copyright"));
        copyright->setTextFormat(Qt::RichText);

        horizontalLayout_2->addWidget(copyright);

        downloadSpeed = new QLabel(centralWidget);
        downloadSpeed->setObjectName(QString::fromUtf8("downloadSpeed"));
        downloadSpeed->setMinimumSize(QSize(0, 20));
        downloadSpeed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

        horizontalLayout_2->addWidget(downloadSpeed);

        completed = new QLabel(centralWidget);
        completed->setObjectName(QString::fromUtf8("completed"));
        completed->setMinimumSize(QSize(0, 20));
        completed->setLayoutDirection(Qt::LeftToRight);
        completed->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

        horizontalLayout_2->addWidget(completed);

        verticalLayout->addLayout(horizontalLayout_2);

        horizontalLayout = new QHBoxLayout();
        horizontalLayout->setSpacing(6);
        horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
        btnDetails = new QPushButton(centralWidget);
        btnDetails->setObjectName(QString::fromUtf8("btnDetails"));
        btnDetails->setCheckable(true);

        horizontalLayout->addWidget(btnDetails);

        horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);

        horizontalLayout->addItem(horizontalSpacer);

        btnRun = new QPushButton(centralWidget);
        btnRun->setObjectName(QString::fromUtf8("btnRun"));

        horizontalLayout->addWidget(btnRun);

        btnStart = new QPushButton(centralWidget);
        btnStart->setObjectName(QString::fromUtf8("btnStart"));
        btnStart->setDefault(true);

        horizontalLayout->addWidget(btnStart);

        verticalLayout->addLayout(horizontalLayout);

        gridLayout->addLayout(verticalLayout, 0, 0, 1, 1);

        UpdateClient->setCentralWidget(centralWidget);

        retranslateUi(UpdateClient);

        QMetaObject::connectSlotsByName(UpdateClient);
    }

    void retranslateUi(QMainWindow *UpdateClient)
    {
        UpdateClient->setWindowTitle(QCoreApplication::translate("UpdateClient", "Voxtera3 Client Update"));
        lastedVersion->setText(QCoreApplication::translate("UpdateClient", "Lasted Version:"));
        label->setText(QString());
        details->setPlainText(QString());
        copyright->setText(QCoreApplication::translate(
            "UpdateClient",
            "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" \"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
            "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"
            "p, li { white-space: pre-wrap; }\n"
            "</style></head><body style=\" font-size:9pt; font-weight:400; font-style:normal;\">\n"
            "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; -qt-block-indent:0; "
            "text-indent:0px;\"><a href=\"http://www.voxtera.example/\"><span style=\" text-decoration: underline; "
            "color:#0000ff;\">http://www.voxtera.example/</span></a></p></body></html>"));
        downloadSpeed->setText(QString());
        completed->setText(QString());
        btnDetails->setText(QCoreApplication::translate("UpdateClient", "&Details"));
        btnRun->setText(QCoreApplication::translate("UpdateClient", "&Start Voxtera3"));
        btnStart->setText(QCoreApplication::translate("UpdateClient", "&Update"));
    }
};

namespace Ui {
class UpdateClient : public Ui_UpdateClient
{
};
} // namespace Ui

QT_END_NAMESPACE

#endif // UI_UPDATECLIENT_H
