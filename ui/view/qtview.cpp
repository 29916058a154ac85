// The operator window: a Qt view that mirrors the dialog, menu and window
// models and turns the operator's clicks into the same window messages the
// driver's procedures already handle.  Qt's event loop runs the program;
// the driver's own loop is served whenever its epoll descriptor is ready
// or its next timer is due.  Built as the module wexview.so, which resolves
// the driver's functions from the program that loads it.
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
#include <QPainter>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdlib>
#include <map>

#ifdef WEX_VIEW_XCB
#include <xcb/xcb.h>
#endif

#include "platform/dialog.h"
#include "platform/loop.h"
#include "platform/shellstate.h"
#include "ui/about.h"
#include "ui/maindlg.h"
#include "ui/menuids.h"
#include "ui/view.h"
#include "ui/view/qtview.h"

namespace {

QApplication *App = nullptr;
bool InPump = false;
bool Updating = false;

class MainView;
MainView *View = nullptr;
uint64_t ShownGeneration = ~0ull;

// Mirrors the models now if they changed: called by the loop's pump and right
// after each operator action, so a click is drawn without waiting for the
// driver's next timer or I/O event.
void ShowChanges();

// A caption code's first digit picks the look: 1 warning (orange),
// 2 normal (green), 9 taken over (blue); anything else grey.
QString CaptionColour(const std::string &code)
{
    for (char ch : code) {
        if (ch == '1')
            return "#e0a040";
        if (ch == '2')
            return "#60c060";
        if (ch == '9')
            return "#6090e0";
    }
    return "#c0c0c0";
}

// A status button: its caption code picks the colour, its label the text.
void ShowStatusButton(QWidget *w, const ControlModel *c)
{
    if (!c)
        return;
    if (auto *label = qobject_cast<QLabel *>(w))
        label->setText(QString::fromLatin1(c->text.c_str()));
    else if (auto *button = qobject_cast<QPushButton *>(w))
        button->setText(QString::fromLatin1(c->text.c_str()));
    QString sheet = QString("%1{background:%2;border:1px solid #555;padding:1px 4px;}")
                        .arg(w->metaObject()->className(), CaptionColour(c->captionCode));
    if (w->styleSheet() != sheet)
        w->setStyleSheet(sheet);
}

// The program icon (wexicon): the router's crosspoint grid on blue.
QIcon WexIcon()
{
    QPixmap p(32, 32);
    p.fill(QColor("#2050a0"));
    QPainter g(&p);
    g.setPen(QPen(Qt::white, 2));
    for (int i = 8; i <= 24; i += 8) {
        g.drawLine(i, 4, i, 28);
        g.drawLine(4, i, 28, i);
    }
    g.setBrush(QColor("#f0c040"));
    g.drawEllipse(QPoint(16, 16), 4, 4);
    return QIcon(p);
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
        ShowStatusButton(lock_, GetControl(Dlg.Dialog, IDC_LOCK));
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
            if (Updating)
                return;
            SendMessage(Shell.MainWindow, WM_COMMAND, static_cast<WPARAM>(id), 0);
            ShowChanges();
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
        QObject::connect(lock_, &QPushButton::clicked, [] {
            SendMessage(Dlg.Dialog, WM_COMMAND, IDC_LOCK, 0);
            ShowChanges();
        });
        QObject::connect(take_, &QPushButton::clicked, [] {
            SendMessage(Dlg.Dialog, WM_COMMAND, IDC_TAKE, 0);
            ShowChanges();
        });
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
        // A keyboard move changes the current row; a click notifies even on
        // the entry already highlighted (the start-up selection), as the
        // list box does.
        QObject::connect(l, &QListWidget::currentRowChanged, [id](int row) { Selected(id, row); });
        QObject::connect(l, &QListWidget::clicked, [id](const QModelIndex &at) { Selected(id, at.row()); });
        return l;
    }

    static void Selected(int id, int row)
    {
        if (Updating)
            return;
        ListSetSel(Dlg.Dialog, id, row);
        SendMessage(Dlg.Dialog, WM_COMMAND, static_cast<WPARAM>(id), 0);
        ShowChanges();
    }

    void RefreshList(QListWidget *w, int id)
    {
        const ControlModel *c = GetControl(Dlg.Dialog, id);
        if (!c)
            return;
        // Names can change with the count unchanged (a reload after a
        // database change): every entry is compared.
        int n = static_cast<int>(c->items.size());
        while (w->count() > n)
            delete w->takeItem(w->count() - 1);
        for (int i = 0; i < n; ++i) {
            QString text = QString::fromLatin1(c->items[static_cast<size_t>(i)].c_str());
            if (i >= w->count())
                w->addItem(text);
            else if (w->item(i)->text() != text)
                w->item(i)->setText(text);
        }
        // The profile's NameLength sets the width, 0 included.
        QSize grid(c->columnWidth, w->fontMetrics().height() + 2);
        if (w->gridSize() != grid)
            w->setGridSize(grid);
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

void ShowChanges()
{
    if (View && UiModelGeneration() != ShownGeneration) {
        ShownGeneration = UiModelGeneration();
        View->Refresh();
    }
}

// Serves the driver's loop, mirrors any model change, re-arms the timer.
void Pump()
{
    if (InPump)
        return;  // a message box is up: a pump follows when it closes
    InPump = true;
    bool alive = LoopRunOnce(0);
    InPump = false;
    ShowChanges();
    if (!alive) {
        // exit, not quit: it ends nested loops (an open box) too, and no
        // window can refuse it.
        QCoreApplication::exit(0);
        return;
    }
    int next = LoopNextTimerMs();
    if (next >= 0)
        NextTimer->start(next);
    else
        NextTimer->stop();
}

// Closes a modal box when a stop is requested (the signal stays pending for
// the driver's loop, which then runs the shutdown).
void CloseOnStop(QDialog *box)
{
    int fd = StopDescriptor();
    if (fd < 0)
        return;
    auto *n = new QSocketNotifier(fd, QSocketNotifier::Read, box);
    QObject::connect(n, &QSocketNotifier::activated, box, [box, n] {
        n->setEnabled(false);
        box->reject();
    });
}

void ShowBox(HWND, const char *text, const char *caption)
{
    bool was = InPump;
    InPump = true;  // a message box does not serve the driver's loop re-entrantly
    QMessageBox box(QMessageBox::Critical, QString::fromLatin1(caption), QString::fromLatin1(text),
                    QMessageBox::Ok, View);
    box.setObjectName("messagebox");
    CloseOnStop(&box);
    box.exec();
    InPump = was;
    if (!was && NextTimer)
        QTimer::singleShot(0, Pump);  // what waited while the box was up
}

// The About box blocks the main window but runs no loop of its own: the
// driver's loop goes on being served by Qt's (messages, timers, serial
// data, the bus), however the box was opened (a menu click, or a 991 over
// the bus, which arrives inside the pump).  Ok or Escape ends it.
void RunAbout(HWND box)
{
    auto *d = new QDialog(View);
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->setObjectName("about");
    d->setWindowTitle("About");
    d->setWindowIcon(WexIcon());
    auto *grid = new QGridLayout(d);
    auto *icon = new QLabel;
    icon->setObjectName("wexicon");
    icon->setPixmap(WexIcon().pixmap(32, 32));
    grid->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(new QLabel("WEX"), 0, 1, Qt::AlignCenter);
    grid->addWidget(new QLabel(QString::fromLatin1(GetDlgItemText(box, IDC_ABOUT_VERSION).c_str())), 1, 1, Qt::AlignCenter);
    grid->addWidget(new QLabel(QString::fromLatin1(GetDlgItemText(box, IDC_ABOUT_BUILD).c_str())), 2, 1, Qt::AlignCenter);
    auto *ok = new QPushButton("Ok");
    ok->setObjectName("ok");
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, d, &QDialog::accept);
    grid->addWidget(ok, 3, 0, 1, 2, Qt::AlignCenter);
    QObject::connect(d, &QDialog::finished, [box] {
        SendMessage(box, WM_COMMAND, 1, 0);
        ShowChanges();
    });
    d->open();
}

#ifdef WEX_VIEW_XCB
// X: a server that refuses us (a forwarded display whose cookie is gone)
// would make Qt abort, so it is asked first.  The probe's connection stays
// open until Qt has its own: a server whose last client leaves resets, and
// would turn Qt away meanwhile.
xcb_connection_t *ProbeX()
{
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if ((platform && std::string(platform).rfind("xcb", 0) != 0) || !std::getenv("DISPLAY"))
        return nullptr;
    return xcb_connect(nullptr, nullptr);
}
#endif

}  // namespace

bool ViewInitialise(int *argc, char **argv)
{
#ifdef WEX_VIEW_XCB
    xcb_connection_t *probe = ProbeX();
    if (probe && xcb_connection_has_error(probe) != 0) {
        xcb_disconnect(probe);
        return false;
    }
#endif
    App = qobject_cast<QApplication *>(QCoreApplication::instance());
    if (!App)
        App = new QApplication(*argc, argv);
#ifdef WEX_VIEW_XCB
    if (probe)
        xcb_disconnect(probe);
#endif
    App->setWindowIcon(WexIcon());
    View = new MainView;
    SetMessageBoxHook(ShowBox);
    SetAboutRunner(RunAbout);
    return true;
}

void ViewStart()
{
    NextTimer = new QTimer;
    NextTimer->setSingleShot(true);
    QObject::connect(NextTimer, &QTimer::timeout, Pump);
    auto *ready = new QSocketNotifier(LoopEpollFd(), QSocketNotifier::Read);
    QObject::connect(ready, &QSocketNotifier::activated, Pump);
    ShowChanges();
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

extern "C" __attribute__((visibility("default"))) const ViewModule *WexViewModule()
{
    static const ViewModule module = {kViewModuleVersion, ViewInitialise, ViewRun};
    return &module;
}
