#include "ui/dialogui.h"

#include "app/dialog.h"

#include <QCoreApplication>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSizePolicy>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {

// An explicit policy keeps the widget's own height-for-width flag.
void setPolicy(QWidget *widget, QSizePolicy::Policy horizontal, QSizePolicy::Policy vertical)
{
    QSizePolicy policy(horizontal, vertical);
    policy.setHorizontalStretch(0);
    policy.setVerticalStretch(0);
    policy.setHeightForWidth(widget->sizePolicy().hasHeightForWidth());
    widget->setSizePolicy(policy);
}

QLabel *makeLabel(Dialog *dialog, const char *name)
{
    auto *widget = new QLabel(dialog);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

} // namespace

void DialogUi::setupUi(Dialog *dialog)
{
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QStringLiteral("Dialog"));
    dialog->resize(514, 193);
    setPolicy(dialog, QSizePolicy::Preferred, QSizePolicy::Preferred);
    QIcon icon;
    icon.addFile(QStringLiteral("Morvane.ico"), QSize(), QIcon::Normal, QIcon::Off);
    dialog->setWindowIcon(icon);

    verticalLayout = new QVBoxLayout(dialog);
    verticalLayout->setSpacing(6);
    verticalLayout->setContentsMargins(11, 11, 11, 11);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));

    QFont boldFont;
    boldFont.setBold(true);
    boldFont.setWeight(QFont::Bold);

    gridLayout = new QGridLayout();
    gridLayout->setSpacing(6);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));
    label = makeLabel(dialog, "label");
    label->setFont(boldFont);
    gridLayout->addWidget(label, 0, 0, 1, 1);
    labelVersion = makeLabel(dialog, "labelVersion");
    setPolicy(labelVersion, QSizePolicy::Expanding, QSizePolicy::Preferred);
    gridLayout->addWidget(labelVersion, 0, 1, 1, 1);
    label_3 = makeLabel(dialog, "label_3");
    label_3->setFont(boldFont);
    gridLayout->addWidget(label_3, 1, 0, 1, 1);
    labelStatus = makeLabel(dialog, "labelStatus");
    setPolicy(labelStatus, QSizePolicy::Expanding, QSizePolicy::Preferred);
    gridLayout->addWidget(labelStatus, 1, 1, 1, 1);
    verticalLayout->addLayout(gridLayout);

    line = new QFrame(dialog);
    line->setObjectName(QStringLiteral("line"));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    verticalLayout->addWidget(line);

    gridLayout_2 = new QGridLayout();
    gridLayout_2->setSpacing(6);
    gridLayout_2->setObjectName(QStringLiteral("gridLayout_2"));
    progressSub = new QProgressBar(dialog);
    progressSub->setObjectName(QStringLiteral("progressSub"));
    setPolicy(progressSub, QSizePolicy::Expanding, QSizePolicy::Fixed);
    progressSub->setValue(24);
    gridLayout_2->addWidget(progressSub, 1, 1, 1, 1);
    labelTarget = makeLabel(dialog, "labelTarget");
    gridLayout_2->addWidget(labelTarget, 0, 1, 1, 1);
    label_7 = makeLabel(dialog, "label_7");
    label_7->setFont(boldFont);
    gridLayout_2->addWidget(label_7, 0, 0, 1, 1);
    label_5 = makeLabel(dialog, "label_5");
    label_5->setFont(boldFont);
    gridLayout_2->addWidget(label_5, 1, 0, 1, 1);
    progressOverall = new QProgressBar(dialog);
    progressOverall->setObjectName(QStringLiteral("progressOverall"));
    progressOverall->setValue(24);
    gridLayout_2->addWidget(progressOverall, 2, 1, 1, 1);
    label_6 = makeLabel(dialog, "label_6");
    label_6->setFont(boldFont);
    gridLayout_2->addWidget(label_6, 2, 0, 1, 1);
    verticalLayout->addLayout(gridLayout_2);

    verticalSpacer = new QSpacerItem(20, 20, QSizePolicy::Minimum, QSizePolicy::MinimumExpanding);
    verticalLayout->addItem(verticalSpacer);

    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setSpacing(6);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    labelComplete = makeLabel(dialog, "labelComplete");
    QFont resultFont;
    resultFont.setPointSize(12);
    resultFont.setBold(true);
    resultFont.setWeight(QFont::Bold);
    labelComplete->setFont(resultFont);
    horizontalLayout->addWidget(labelComplete);
    horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    horizontalLayout->addItem(horizontalSpacer);
    buttonUpdate = new QPushButton(dialog);
    buttonUpdate->setObjectName(QStringLiteral("buttonUpdate"));
    buttonUpdate->setEnabled(false);
    horizontalLayout->addWidget(buttonUpdate);
    verticalLayout->addLayout(horizontalLayout);

    retranslateUi(dialog);
    QMetaObject::connectSlotsByName(dialog);
}

void DialogUi::retranslateUi(Dialog *dialog)
{
    dialog->setWindowTitle(QCoreApplication::translate("Dialog", "Wendrix v1.0 for TQR-7", nullptr));
    label->setText(QCoreApplication::translate("Dialog", "Version:", nullptr));
    labelVersion->setText(QCoreApplication::translate("Dialog", "TQR-7 v1.0 01/01/01", nullptr));
    label_3->setText(QCoreApplication::translate("Dialog", "Status:", nullptr));
    labelStatus->setText(
        QCoreApplication::translate("Dialog", "<Device Not Connected or not in Update Mode>", nullptr));
    labelTarget->setText(QCoreApplication::translate("Dialog", "Sub GPI", nullptr));
    label_7->setText(QCoreApplication::translate("Dialog", "Target:", nullptr));
    label_5->setText(QCoreApplication::translate("Dialog", "Sub-Progress:", nullptr));
    label_6->setText(QCoreApplication::translate("Dialog", "Overall Progress:", nullptr));
    labelComplete->setText(
        QCoreApplication::translate("Dialog", "UPDATE COMPLETE. POWER CYCLE UNIT!!", nullptr));
    buttonUpdate->setText(QCoreApplication::translate("Dialog", "Update", nullptr));
}
