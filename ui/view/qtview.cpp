// The operator window: a Qt view that mirrors the dialog, menu and window
// models and turns the operator's clicks into the same window messages the
// driver's procedures already handle.  Qt's event loop runs the program;
// the driver's own loop is served whenever its epoll descriptor is ready
// or its next timer is due.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdlib>
#include <map>

#include "platform/dialog.h"
#include "platform/loop.h"
#include "shell/menu.h"
#include "shell/shell.h"
#include "ui/about.h"
#include "ui/maindlg.h"
#include "ui/view.h"

namespace {

QApplication *App = nullptr;
bool InPump = false;
bool Updating = false;

class MainView;
MainView *View = nullptr;

// A status button: its caption code picks the colour, its label the text.
void ShowStatusButton(QLabel *label, const ControlModel *c)
{
    if (!c)
        return;
    label->setText(QString::fromLatin1(c->text.c_str()));
    const std::string &code = c->captionCode;
    const char *colour = "#c0c0c0";
    if (code.find('1') != std::string::npos)
        colour = "#e0a040";
    else if (code.find('2') != std::string::npos)
        colour = "#60c060";
    else if (code.find('9') != std::string::npos)
        colour = "#6090e0";
    label->setStyleSheet(QString("QLabel{background:%1;border:1px solid #555;padding:1px 4px;}").arg(colour));
}

class MainView : public QWidget {
public:
    MainView()
    {
        auto *top = new QVBoxLayout(this);
        top->setMenuBar(BuildMenu());
        auto *counters = new QHBoxLayout;
        counters->addWidget(new QLabel("VEK  Messages"));
        counters->addWidget(new QLabel("Tx"));
        counters->addWidget(Static(IDC_TXCOUNT));
        counters->addWidget(new QLabel("Rx"));
        counters->addWidget(Static(IDC_RXCOUNT));
        counters->addStretch();
        top->addLayout(counters);
        auto *middle = new QHBoxLayout;
        middle->addLayout(BuildGrid());
        middle->addLayout(BuildButtons());
        top->addLayout(middle);
        top->addLayout(BuildLists());
        setObjectName("wexmain");
    }

    void Refresh()
    {
        Updating = true;
        setWindowTitle(QString::fromLatin1(GetWindowText(Shell.MainWindow).c_str()));
        for (auto &[id, label] : statics_)
            label->setText(QString::fromLatin1(GetDlgItemText(Dlg.Dialog, id).c_str()));
        for (auto &[id, label] : buttons_)
            ShowStatusButton(label, GetControl(Dlg.Dialog, id));
        if (const ControlModel *lock = GetControl(Dlg.Dialog, IDC_LOCK))
            lock_->setText(QString::fromLatin1(lock->text.c_str()));
        take_->setEnabled(IsDlgItemEnabled(Dlg.Dialog, IDC_TAKE));
        RefreshList(sources_, IDC_SOURCES);
        RefreshList(dests_, IDC_DESTS);
        for (auto &[id, action] : actions_) {
            action->setEnabled(MenuItemEnabled(id));
            action->setChecked(MenuItemChecked(id));
        }
        Updating = false;
    }

protected:
    void closeEvent(QCloseEvent *e) override
    {
        e->ignore();  // the driver decides: it shuts down and then quits
        PostMessage(Shell.MainWindow, WM_CLOSE, 0, 0);
    }
    void changeEvent(QEvent *e) override
    {
        if (e->type() == QEvent::WindowStateChange)
            SetMinimised(Shell.MainWindow, isMinimized());
        QWidget::changeEvent(e);
    }

private:
    QLabel *Static(int id)
    {
        auto *l = new QLabel;
        l->setObjectName(QString("control%1").arg(id));
        l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        l->setAlignment(Qt::AlignCenter);
        l->setMinimumWidth(48);
        statics_[id] = l;
        return l;
    }

    QMenuBar *BuildMenu()
    {
        auto *bar = new QMenuBar(this);
        QMenu *file = bar->addMenu("&File");
        Action(file->addAction("E&xit"), kMenuExit);
        Action(bar->addAction("&Clear Errors"), kMenuClearErrors);
        QMenu *kb = bar->addMenu("&Keyboard");
        QAction *toggle = kb->addAction("&Enable Keyboard Router Control");
        toggle->setCheckable(true);
        Action(toggle, kMenuKeyboard);
        Action(bar->addAction("&Source Box"), kMenuSourceBox);
        Action(bar->addAction("&Dest Box"), kMenuDestBox);
        Action(bar->addAction("&Take"), kMenuTake);
        Action(bar->addAction("&Lock"), kMenuLock);
        Action(bar->addAction("&About"), kMenuAbout);
        return bar;
    }

    void Action(QAction *a, int id)
    {
        actions_[id] = a;
        QObject::connect(a, &QAction::triggered, [id] {
            if (!Updating)
                SendMessage(Shell.MainWindow, WM_COMMAND, static_cast<WPARAM>(id), 0);
        });
    }

    QGridLayout *BuildGrid()
    {
        auto *grid = new QGridLayout;
        const char *heads[] = {"Com", "Port", "Status", "Min", "Max", "Tally", "Errors"};
        for (int c = 0; c < 7; ++c)
            grid->addWidget(new QLabel(heads[c]), 0, c, Qt::AlignCenter);
        for (int p = 1; p <= 8; ++p) {
            grid->addWidget(new QLabel(QString::number(p)), p, 0, Qt::AlignCenter);
            int ids[] = {IDC_PORT, IDC_STATUS, IDC_MIN, IDC_MAX, IDC_TALLY, IDC_ERRORS};
            for (int c = 0; c < 6; ++c)
                grid->addWidget(Static(ids[c] + p), p, c + 1);
        }
        return grid;
    }

    QVBoxLayout *BuildButtons()
    {
        auto *col = new QVBoxLayout;
        auto *row = new QHBoxLayout;
        lock_ = new QPushButton(" ");
        take_ = new QPushButton("Take");
        lock_->setObjectName("lock");
        take_->setObjectName("take");
        QObject::connect(lock_, &QPushButton::clicked, [] { SendMessage(Dlg.Dialog, WM_COMMAND, IDC_LOCK, 0); });
        QObject::connect(take_, &QPushButton::clicked, [] { SendMessage(Dlg.Dialog, WM_COMMAND, IDC_TAKE, 0); });
        row->addWidget(lock_);
        row->addWidget(take_);
        col->addLayout(row);
        auto *form = new QGridLayout;
        std::pair<const char *, int> rows[] = {
            {"Driver", IDC_DRIVER}, {"Control", IDC_CONTROL}, {"Keyboard", IDC_KEYBOARD}, {"Interface", IDC_INTERFACE}};
        int r = 0;
        for (auto &[name, id] : rows) {
            form->addWidget(new QLabel(name), r, 0);
            auto *b = new QLabel("- -");
            b->setObjectName(QString("control%1").arg(id));
            buttons_[id] = b;
            form->addWidget(b, r++, 1);
        }
        col->addLayout(form);
        col->addStretch();
        return col;
    }

    QHBoxLayout *BuildLists()
    {
        auto *row = new QHBoxLayout;
        sources_ = List(IDC_SOURCES);
        dests_ = List(IDC_DESTS);
        sources_->setObjectName("sources");
        dests_->setObjectName("dests");
        auto *left = new QVBoxLayout;
        left->addWidget(new QLabel("Source"));
        left->addWidget(sources_);
        auto *right = new QVBoxLayout;
        right->addWidget(new QLabel("Destination"));
        right->addWidget(dests_);
        row->addLayout(left);
        row->addLayout(right);
        return row;
    }

    QListWidget *List(int id)
    {
        auto *l = new QListWidget;
        l->setFlow(QListView::TopToBottom);
        l->setWrapping(true);
        l->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        QObject::connect(l, &QListWidget::currentRowChanged, [id](int row) {
            if (Updating)
                return;
            ListSetSel(Dlg.Dialog, id, row);
            SendMessage(Dlg.Dialog, WM_COMMAND, static_cast<WPARAM>(id), 0);
        });
        return l;
    }

    void RefreshList(QListWidget *w, int id)
    {
        const ControlModel *c = GetControl(Dlg.Dialog, id);
        if (!c)
            return;
        if (w->count() != static_cast<int>(c->items.size())) {
            w->clear();
            for (auto &item : c->items)
                w->addItem(QString::fromLatin1(item.c_str()));
        }
        if (c->columnWidth > 0)
            w->setGridSize(QSize(c->columnWidth, w->fontMetrics().height() + 2));
        w->setCurrentRow(c->selection);
        if (FocusedControl() == id)
            w->setFocus();
    }

    std::map<int, QLabel *> statics_;
    std::map<int, QLabel *> buttons_;
    std::map<int, QAction *> actions_;
    QPushButton *lock_ = nullptr;
    QPushButton *take_ = nullptr;
    QListWidget *sources_ = nullptr;
    QListWidget *dests_ = nullptr;
};

QTimer *NextTimer = nullptr;
uint64_t ShownGeneration = ~0ull;

// Serves the driver's loop, mirrors any model change, re-arms the timer.
void Pump()
{
    if (InPump)
        return;
    InPump = true;
    bool alive = LoopRunOnce(0);
    InPump = false;
    if (View && UiModelGeneration() != ShownGeneration) {
        ShownGeneration = UiModelGeneration();
        View->Refresh();
    }
    if (!alive) {
        App->quit();
        return;
    }
    int next = LoopNextTimerMs();
    if (next >= 0)
        NextTimer->start(next);
    else
        NextTimer->stop();
}

void ShowBox(HWND, const char *text, const char *caption)
{
    bool was = InPump;
    InPump = true;  // a modal box does not serve the driver's loop re-entrantly
    QMessageBox::critical(View, QString::fromLatin1(caption), QString::fromLatin1(text));
    InPump = was;
}

void RunAbout(HWND box)
{
    QDialog d(View);
    d.setWindowTitle("About");
    auto *l = new QVBoxLayout(&d);
    l->addWidget(new QLabel("WEX"), 0, Qt::AlignCenter);
    l->addWidget(new QLabel(QString::fromLatin1(GetDlgItemText(box, IDC_ABOUT_VERSION).c_str())), 0, Qt::AlignCenter);
    l->addWidget(new QLabel(QString::fromLatin1(GetDlgItemText(box, IDC_ABOUT_BUILD).c_str())), 0, Qt::AlignCenter);
    auto *ok = new QPushButton("Ok");
    QObject::connect(ok, &QPushButton::clicked, &d, &QDialog::accept);
    l->addWidget(ok, 0, Qt::AlignCenter);
    d.exec();
    SendMessage(box, WM_COMMAND, 1, 0);
}

}  // namespace

bool ViewAvailable()
{
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
}

void ViewInitialise(int *argc, char **argv)
{
    App = new QApplication(*argc, argv);
    View = new MainView;
    SetMessageBoxHook(ShowBox);
    SetAboutRunner(RunAbout);
}

void ViewStart()
{
    NextTimer = new QTimer;
    NextTimer->setSingleShot(true);
    QObject::connect(NextTimer, &QTimer::timeout, Pump);
    auto *notifier = new QSocketNotifier(LoopEpollFd(), QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, Pump);
    View->Refresh();
    if (IsIconic(Shell.MainWindow))
        View->showMinimized();
    else
        View->show();
    QTimer::singleShot(0, Pump);
}

int ViewRun()
{
    ViewStart();
    App->exec();
    return 0;
}
