#ifndef DIALOGUI_H
#define DIALOGUI_H

class Dialog;
class QFrame;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;

// The dialog's form. The pointers own nothing: every widget is a child of the
// dialog and every layout and spacer belongs to the layout it was added to.
class DialogUi
{
public:
    QVBoxLayout *verticalLayout;
    QGridLayout *gridLayout;
    QLabel *label;
    QLabel *labelVersion;
    QLabel *label_3;
    QLabel *labelStatus;
    QFrame *line;
    QGridLayout *gridLayout_2;
    QProgressBar *progressSub;
    QLabel *labelTarget;
    QLabel *label_7;
    QLabel *label_5;
    QProgressBar *progressOverall;
    QLabel *label_6;
    QSpacerItem *verticalSpacer;
    QHBoxLayout *horizontalLayout;
    QLabel *labelComplete;
    QSpacerItem *horizontalSpacer;
    QPushButton *buttonUpdate;

    void setupUi(Dialog *dialog);
    void retranslateUi(Dialog *dialog);
};

#endif // DIALOGUI_H
