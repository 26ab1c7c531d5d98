// The console's controls: every group, caption, hint and colour, laid out so that the whole console fits
// the port page's panel, scrolling where the panel is smaller than the controls need.

#include "link/port.h"

#include "platform/qt/QtFont.h"
#include "platform/qt/QtText.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QTextOption>
#include <QVBoxLayout>

namespace {

template <class T> T* Named(T* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QPushButton* Button(const char* name, const char* caption, const char* hint = nullptr) {
    auto* b = Named(new QPushButton(QString::fromLatin1(caption)), name);
    if (hint) b->setToolTip(plat::ToQ(hint));
    b->setAutoDefault(false);
    return b;
}

TTagButton* TagButton(const char* name, const char* caption) {
    auto* b = Named(new TTagButton(QString::fromLatin1(caption)), name);
    b->setAutoDefault(false);
    return b;
}

QLabel* Label(const char* name, const char* caption) {
    return Named(new QLabel(plat::ToQ(caption)), name);
}

QGroupBox* Group(const char* name, const char* caption) {
    return Named(new QGroupBox(plat::ToQ(caption)), name);
}

sx::TSxStatusLight* Light(const char* name) {
    auto* l = Named(new sx::TSxStatusLight, name);
    l->SetLitColor(QColor::fromRgb(clLitLight));
    l->SetNotLitColor(QColor::fromRgb(clUnlitLight));
    return l;
}

// A light (or panel) centred under its caption word.
QWidget* Lamp(QWidget* light, const char* word) {
    auto* box = new QWidget;
    auto* v = new QVBoxLayout(box);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(2);
    auto* caption = new QLabel(QString::fromLatin1(word));
    caption->setAlignment(Qt::AlignHCenter);
    v->addWidget(caption);
    v->addWidget(light, 0, Qt::AlignHCenter);
    return box;
}

} // namespace

TColorPanel::TColorPanel(QRgb color, QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken); // lowered
    setLineWidth(1);
    setAutoFillBackground(true);
    setMinimumSize(17, 17);
    SetColor(color);
}

QRgb TColorPanel::Color() const {
    return palette().color(QPalette::Window).rgb();
}

void TColorPanel::SetColor(QRgb value) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor::fromRgb(value));
    setPalette(pal);
}

void TMyComPort::BuildForm() {
    setObjectName(QStringLiteral("MyComPort"));
    setWindowTitle(QStringLiteral("MyComPort"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setProperty("HelpContext", 470);
    QFont f(QStringLiteral("MS Sans Serif"));
    f.setPointSize(8);
    f.setStyleHint(QFont::SansSerif);
    setFont(f);

    // Memo, its title, "Clear" and the message line.
    Label3 = Label("Label3", "Memo");
    Memo = Named(new QPlainTextEdit, "Memo");
    Memo->setReadOnly(true);
    // Long lines wrap: the memo never scrolls sideways, so every line's time stamp stays in view.
    Memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo->setMaximumBlockCount(20000); // a long session must not grow the memo without bound
    Memo->setPlainText(QStringLiteral("OutMemo"));
    Memo->setFont(plat::FixedFont("Courier New", 9));
    BitBtn3 = Button("BitBtn3", "Clear");
    SaveMemoButton = Button("SaveMemoButton", "Speichern", "Memo als Textdatei speichern");
    SaveMemoButton->setText(QStringLiteral("Speichern\u2026"));
    CaptureButton = Button("CaptureButton", "Mitschnitt",
                           "jede Zeile sofort mit Datum und Uhrzeit an eine Datei anh\xE4ngen");
    CaptureLed = Named(new TColorPanel(clUnlitLight), "CaptureLed");
    CaptureLed->setFixedSize(17, 17);
    CaptureLabel = Label("CaptureLabel", "");
    // A long file name must not widen the console; the whole path is in the tool tip.
    CaptureLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    Nachricht = Named(new QLineEdit(QStringLiteral("  keine Nachricht")), "Nachricht");
    // A message shows from its beginning; one longer than the line is whole in its tool tip.
    connect(Nachricht, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!Nachricht->hasFocus()) Nachricht->setCursorPosition(0);
        Nachricht->setToolTip(text);
    });

    // PORT CLOSED
    GroupBox1 = Group("GroupBox1", "PORT CLOSED");
    ComOpenPanel = Named(new TColorPanel(clRed), "ComOpenPanel");
    ComOpenPanel->setFixedSize(41, 17);
    COMname = Label("COMname", "COM1");
    COM1Button = Button("COM1Button", "COM1");
    COM2Button = Button("COM2Button", "COM2");
    CLOSEButton = Button("CLOSEButton", "CLOSE");
    {
        auto* g = new QGridLayout(GroupBox1);
        g->addWidget(ComOpenPanel, 0, 0);
        g->addWidget(COMname, 0, 1, 1, 2);
        g->addWidget(COM1Button, 1, 0);
        g->addWidget(COM2Button, 1, 1);
        g->addWidget(CLOSEButton, 1, 2);
    }

    // MODEM
    GroupBox2 = Group("GroupBox2", "MODEM");
    ModemOpenPanel = Named(new TColorPanel(clRed), "ModemOpenPanel");
    ModemOpenPanel->setFixedSize(41, 17);
    ModemId = Label("ModemId", NoModemIdText);
    ModemId->setMinimumWidth(120);
    InitButton = Button("InitButton", "INIT");
    MODEMButton = Button("MODEMButton", "TEST", "ModemTestprocedure auf eingestellten comport");
    {
        auto* g = new QGridLayout(GroupBox2);
        g->addWidget(ModemOpenPanel, 0, 0);
        g->addWidget(ModemId, 0, 1, 1, 2);
        g->addWidget(InitButton, 1, 1);
        g->addWidget(MODEMButton, 1, 2);
    }

    // The lights and the connect panel under "DCD   DSR  RING  CONNECT   RxD  TxD".
    LEDS = Group("LEDS", "DCD   DSR  RING  CONNECT   RxD  TxD");
    SxStatusLight3 = Light("SxStatusLight3");
    SxStatusLight4 = Light("SxStatusLight4");
    SxStatusLight5 = Light("SxStatusLight5");
    ConnectLed = Named(new TColorPanel(clMaroon), "ConnectLed");
    ConnectLed->setFixedSize(17, 17);
    SxStatusLight2 = Light("SxStatusLight2");
    SxStatusLight1 = Light("SxStatusLight1");
    {
        auto* h = new QHBoxLayout(LEDS);
        h->addWidget(Lamp(SxStatusLight3, "DCD"));
        h->addWidget(Lamp(SxStatusLight4, "DSR"));
        h->addWidget(Lamp(SxStatusLight5, "RING"));
        h->addWidget(Lamp(ConnectLed, "CONNECT"));
        h->addWidget(Lamp(SxStatusLight2, "RxD"));
        h->addWidget(Lamp(SxStatusLight1, "TxD"));
    }

    // UR.LINK.LED
    GroupBox5 = Group("GroupBox5", "UR.LINK.LED");
    link_led = Named(new TLinkPanel, "link_led");
    ComPortLabel = Label("ComPortLabel", "UR.ComPortLabel");
    {
        auto* h = new QHBoxLayout(GroupBox5);
        h->addWidget(link_led);
        h->addWidget(ComPortLabel, 1);
    }

    // CTRLS
    GroupBox7 = Group("GroupBox7", "CTRLS");
    DataModLed = Named(new TColorPanel(clRed), "DataModLed");
    DataModLed->setFixedSize(17, 17);
    Label5 = Label("Label5", "DATA MODE/");
    ConnectLabel = Label("ConnectLabel", "NC");
    {
        auto* h = new QHBoxLayout(GroupBox7);
        h->addWidget(DataModLed);
        h->addWidget(Label5);
        h->addWidget(ConnectLabel, 1);
    }

    // RPF
    GroupBox6 = Group("GroupBox6", "RPF");
    F100Button = Button("F100Button", "RPF/F100", "rpf(F100)->zavcom->port.send");
    F101Button = Button("F101Button", "RPF/F101", "rpf(F101)->zavcom->port.send");
    F140Button = Button("F140Button", "RPF/F140", "rpf(F140)->zavcom->port.send");
    {
        auto* h = new QHBoxLayout(GroupBox6);
        h->addWidget(F100Button);
        h->addWidget(F101Button);
        h->addWidget(F140Button);
    }

    // GruppenTest
    GruppenTest = Group("GruppenTest", "GruppenTest");
    F07000F100Button = Button("F07000F100Button", "F07000F100Button");
    F07001F100Button = Button("F07001F100Button", "F07000F100Button");
    {
        auto* h = new QHBoxLayout(GruppenTest);
        h->addWidget(F07000F100Button);
        h->addWidget(F07001F100Button);
    }

    // GroupBox3
    GroupBox3 = Group("GroupBox3", "GroupBox3");
    BitBtn1 = Button("BitBtn1", "MEMO/ASCII");
    EchoButton = Button("EchoButton", "ECHO/OFF");
    TestButton = Button("TestButton", "LOCAL", "lokale RxD routine bedienen");
    Button1 = Button("Button1", "BUFFER", "RxD wird gepuffert (stringmodus)");
    {
        auto* g = new QGridLayout(GroupBox3);
        g->addWidget(BitBtn1, 0, 0);
        g->addWidget(EchoButton, 0, 1);
        g->addWidget(TestButton, 1, 0);
        g->addWidget(Button1, 1, 1);
    }

    // MODEM/COMPORT TEST
    GroupBox4 = Group("GroupBox4", "MODEM/COMPORT TEST");
    DialStatusLabel = Label("DialStatusLabel", "status");
    Label1 = Label("Label1", "MODEM Identification");
    timerstring = Label("timerstring", "timerstring");
    // It changes every second while connected: a label of fixed size does not make Qt lay out the
    // whole page again each time (its caption is wider than any count of seconds).
    timerstring->setFixedSize(timerstring->sizeHint());
    DialTestButton = Button("DialTestButton", "ATDT06601234567");
    SyncButton = Button("SyncButton", "MST.SYNC");
    BitBtn9 = Button("BitBtn9", "030C0513");
    BitBtn10 = Button("BitBtn10", "NC/RESET");
    NotifyButton = Button("NotifyButton", "PartnerName");
    BitBtn5 = Button("BitBtn5", "HangUp");
    IDButton = TagButton("IDButton", "Identification");
    BitBtn2 = Button("BitBtn2", "INP.BOX");
    ATButton = Button("ATButton", "-> 'AT'");
    ATSButton = TagButton("ATSButton", "-> 'ATSn?'");
    SOHButton = Button("SOHButton", "-> 'SOH'");
    BreakButton = Button("BreakButton", "BREAK", "die Leitung so lange wie angegeben auf Break halten");
    BreakLength = Named(new QLineEdit(QString::number(DefaultBreakMs)), "BreakLength");
    BreakLength->setToolTip(QStringLiteral("L\u00E4nge des Break in ms (%1 bis %2), Eingabe sendet ihn")
                                .arg(MinBreakMs)
                                .arg(MaxBreakMs));
    BreakLength->setMaximumWidth(56);
    connect(BreakLength, &QLineEdit::returnPressed, this, [this] {
        Model.ReleaseMessage();
        BreakButtonClick();
    });
    {
        auto* g = new QGridLayout(GroupBox4);
        g->addWidget(DialStatusLabel, 0, 0, 1, 2);
        g->addWidget(timerstring, 0, 2);
        g->addWidget(DialTestButton, 1, 0, 1, 2);
        g->addWidget(BitBtn5, 1, 2);
        g->addWidget(SyncButton, 2, 0);
        g->addWidget(BitBtn9, 2, 1);
        g->addWidget(BitBtn10, 2, 2);
        g->addWidget(NotifyButton, 3, 0);
        g->addWidget(Label1, 4, 0, 1, 3);
        g->addWidget(IDButton, 5, 0);
        g->addWidget(BitBtn2, 5, 1);
        g->addWidget(ATButton, 5, 2);
        g->addWidget(ATSButton, 6, 0);
        g->addWidget(SOHButton, 6, 1);
        g->addWidget(BreakButton, 7, 0);
        auto* length = new QHBoxLayout;
        length->addWidget(BreakLength);
        length->addWidget(new QLabel(QStringLiteral("ms")));
        length->addStretch(1);
        g->addLayout(length, 7, 1, 1, 2);
    }

    // Compact groups, so that the console fits the port page of a window on a 1024 x 768 screen.
    for (QGroupBox* g :
         {GroupBox1, GroupBox2, LEDS, GroupBox5, GroupBox7, GroupBox6, GruppenTest, GroupBox3, GroupBox4}) {
        g->layout()->setContentsMargins(6, 4, 6, 4);
        g->layout()->setSpacing(4);
    }
    Memo->setMinimumWidth(160);

    // Memo on the left, the groups in two columns on the right.
    auto* left = new QVBoxLayout;
    {
        auto* title = new QHBoxLayout;
        title->addWidget(Label3);
        title->addWidget(CaptureLabel, 1); // the capture's file name
        title->addWidget(BitBtn3);
        left->addLayout(title);
        left->addWidget(Memo, 1);
        // Under the memo: the capture with its light, and the memo saved as text.
        auto* capture = new QHBoxLayout;
        capture->addWidget(CaptureLed);
        capture->addWidget(CaptureButton);
        capture->addStretch(1);
        capture->addWidget(SaveMemoButton);
        left->addLayout(capture);
    }
    auto* middle = new QVBoxLayout;
    middle->addWidget(GroupBox1);
    middle->addWidget(GroupBox2);
    middle->addWidget(LEDS);
    middle->addWidget(GroupBox5);
    middle->addWidget(GroupBox7);
    middle->addStretch(1);
    auto* right = new QVBoxLayout;
    right->addWidget(GroupBox4);
    right->addWidget(GroupBox6);
    right->addWidget(GruppenTest);
    right->addWidget(GroupBox3);
    right->addStretch(1);
    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 1);
    columns->addLayout(middle, 0);
    columns->addLayout(right, 0);
    // The message line under all three columns: as wide as the console.
    auto* content = Named(new QWidget, "ConsoleContent");
    auto* top = new QVBoxLayout(content);
    top->setContentsMargins(4, 4, 4, 4);
    top->addLayout(columns, 1);
    top->addWidget(Nachricht);
    // Where the console gets less room than its controls need (a small or scaled screen: 1366 x 768 at
    // 150 % leaves 910 x 512), it scrolls instead of growing the window past the screen's edge; with room
    // enough it fills the room and the memo takes what is left over.
    auto* scroll = Named(new QScrollArea, "ConsoleScroll");
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    // Buttons.
    const std::pair<QPushButton*, void (TMyComPort::*)()> clicks[] = {
        {BitBtn3, &TMyComPort::BitBtn3Click},
        {SaveMemoButton, &TMyComPort::SaveMemoButtonClick},
        {CaptureButton, &TMyComPort::CaptureButtonClick},
        {COM1Button, &TMyComPort::COM1ButtonClick},
        {COM2Button, &TMyComPort::COM2ButtonClick},
        {CLOSEButton, &TMyComPort::CLOSEButtonClick},
        {InitButton, &TMyComPort::InitButtonClick},
        {MODEMButton, &TMyComPort::MODEMButtonClick},
        {ATButton, &TMyComPort::ATButtonClick},
        {SOHButton, &TMyComPort::SOHButtonClick},
        {ATSButton, &TMyComPort::ATSButtonClick},
        {IDButton, &TMyComPort::IDButtonClick},
        {BitBtn2, &TMyComPort::BitBtn2Click},
        {EchoButton, &TMyComPort::EchoButtonClick},
        {TestButton, &TMyComPort::TestButtonClick},
        {Button1, &TMyComPort::Button1Click},
        {BitBtn1, &TMyComPort::BitBtn1Click},
        {DialTestButton, &TMyComPort::DialTestButtonClick},
        {NotifyButton, &TMyComPort::NotifyButtonClick},
        {SyncButton, &TMyComPort::SyncButtonClick},
        {BitBtn5, &TMyComPort::BitBtn5Click},
        {BitBtn9, &TMyComPort::BitBtn9Click},
        {BitBtn10, &TMyComPort::BitBtn10Click},
        {F100Button, &TMyComPort::F100ButtonClick},
        {F101Button, &TMyComPort::F101ButtonClick},
        {F140Button, &TMyComPort::F140ButtonClick},
        {F07000F100Button, &TMyComPort::F07000F100ButtonClick},
        {F07001F100Button, &TMyComPort::F07001F100ButtonClick},
        {BreakButton, &TMyComPort::BreakButtonClick},
    };
    ShowCaptureState();
    for (const auto& [button, handler] : clicks) {
        // The user acts again: a failure shown in the message line may give way to received lines.
        connect(button, &QPushButton::pressed, this, [this] { Model.ReleaseMessage(); });
        connect(button, &QPushButton::clicked, this, handler);
    }
}
