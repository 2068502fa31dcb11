#include "loader.h"

#include "appfont.h"
#include "journalhistory.h"
#include "loaderrules.h"
#include "messages.h"
#include "sessionfiles.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QMenu>
#include <QResizeEvent>
#include <QShortcut>

#include <array>
#include <cstdio>
#include <thread>
#include <utility>

namespace {

// The window's frame as it was laid out: 474 × 532 outside, which a classic
// sizeable frame (4-pixel borders, 19-pixel caption) leaves as this client area.
// The window manager adds its own frame around it.
constexpr QSize kClientSize(474 - 8, 532 - 27);

const QColor kAqua(0, 255, 255);

// Raw images first, as they always were; toolchains' HEX and S-record files
// beside them. The format is told by content, so the patterns only help choose.
const QString kImageFilters = QStringLiteral(
    "Binary Files (*.bin);;Intel HEX Files (*.hex *.ihx);;S-Record Files (*.s19 *.s28 *.s37 *.srec *.mot)");

// Settings values are decoded as this system decodes file names, so that a name
// typed into the file by any editor encodes back to the file on disk.
QString FromSettings(const std::string& text)
{
    return QFile::decodeName(QByteArray(text.data(), qsizetype(text.size())));
}

QString WithTrailingSeparator(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

template <typename Widget>
Widget* Place(Widget* widget, const char* name, int left, int top, int width = -1,
              int height = -1)
{
    widget->setObjectName(QLatin1String(name));
    if (width < 0) {
        widget->adjustSize(); // labels take the width of their text
        widget->move(left, top);
    } else {
        widget->setGeometry(left, top, width, height);
    }
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int left, int top)
{
    return Place(new QLabel(text, parent), name, left, top);
}

// The layout's label positions fit MS Sans Serif. A wider substitute would run a
// label into the box after it, so such a label moves left to end just before the
// box; with the original font it stays where it was laid out.
void KeepLabelBefore(QLabel* label, const QWidget* box)
{
    constexpr int kGap = 3;
    const int limit = box->x() - kGap;
    if (label->geometry().right() >= limit)
        label->move(limit - label->width(), label->y());
}

QLineEdit* MakeReadOnlyBox(QWidget* parent, const char* name, int left, int top, int width)
{
    auto* box = Place(new QLineEdit(parent), name, left, top, width, 21);
    box->setReadOnly(true);
    return box;
}

// The version displays: aqua, and out of the keyboard's way.
QLineEdit* MakeDisplayBox(QWidget* parent, const char* name, int left, int top, int width)
{
    QLineEdit* box = MakeReadOnlyBox(parent, name, left, top, width);
    box->setFocusPolicy(Qt::NoFocus);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, kAqua);
    box->setPalette(palette);
    return box;
}

QToolButton* MakeFolderButton(QWidget* parent, const char* name, int left, int top)
{
    auto* button = Place(new QToolButton(parent), name, left, top, 23, 23);
    // The icon's disabled mode supplies the greyed picture.
    button->setIcon(button->style()->standardIcon(QStyle::SP_DirOpenIcon));
    button->setIconSize(QSize(16, 16));
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption, int left,
                        int top)
{
    return Place(new QPushButton(caption, parent), name, left, top, 97, 25);
}

} // namespace

TfmLoader::TfmLoader(TLoaderEnvironment environment, QWidget* parent)
    : QWidget(parent),
      folder_(std::move(environment.folder)),
      pause_(std::move(environment.pause)),
      sessionPaused_(std::move(environment.sessionPaused)), openGang_(std::move(environment.openGang))
{
    if (folder_.isEmpty())
        folder_ = QCoreApplication::applicationDirPath();
    if (!pause_)
        pause_ = [](std::chrono::milliseconds period) { std::this_thread::sleep_for(period); };

    SetUpProgrammerPort(ProgPort);
    ProgPort.SetPortNum(1);

    CreateControls();
    Session = std::make_unique<TLoaderSession>(ProgPort, static_cast<TSessionHost&>(*this),
                                               static_cast<TSessionListener&>(*this));
    Session->SetTiming(environment.timing);
    ConnectHandlers();
    RunReported([this] { FormCreate(this); });
}

TfmLoader::~TfmLoader()
{
    // A window destroyed without being closed ends the conversation here,
    // while every member its listener calls use is still there: the members
    // are destroyed in the reverse order of their declaration, and the
    // session, declared after the port, outlives the fields declared after it.
    if (Session)
        Session->Shutdown(QStringLiteral("The window was closed"));
}

void TfmLoader::CreateControls()
{
    setObjectName(QStringLiteral("fmLoader"));
    setWindowTitle(QStringLiteral("QR740  Programmer V3.03 (Released 15th October 2009)"));
    setFont(LoaderFont(11));
    resize(kClientSize);
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());

    gbControl = Place(new QGroupBox(QStringLiteral("Loader Control"), this), "gbControl", 8, 0,
                      449, 113);
    Label5 = MakeLabel(gbControl, "Label5", QStringLiteral("Port"), 48, 16);
    rgPort = Place(new QComboBox(gbControl), "rgPort", 8, 32, 105, 21);
    for (int port = 1; port <= kPortCount; ++port)
        rgPort->addItem(QStringLiteral("Com %1").arg(port));
    rgPort->setMaxVisibleItems(8);
    // Styles that open a selection list over its current entry (Fusion among
    // them) show every entry and ignore the count above; as a drop-down the list
    // keeps to it.
    rgPort->setStyleSheet(QStringLiteral("combobox-popup: 0;"));
    Label4 = MakeLabel(gbControl, "Label4", QStringLiteral("Binary File"), 139, 32);
    eBinaryFile = MakeReadOnlyBox(gbControl, "eBinaryFile", 192, 24, 97);
    sbSelectBFile = MakeFolderButton(gbControl, "sbSelectBFile", 296, 24);
    Label3 = MakeLabel(gbControl, "Label3", QStringLiteral("Parameter File"), 120, 64);
    eParameterFile = MakeReadOnlyBox(gbControl, "eParameterFile", 192, 56, 97);
    sbSelectPFile = MakeFolderButton(gbControl, "sbSelectPFile", 296, 56);
    cbAuto = Place(new QCheckBox(QStringLiteral("Auto Program"), gbControl), "cbAuto", 192, 88,
                   97, 17);
    bExit = MakeButton(gbControl, "bExit", QStringLiteral("&Exit Loader"), 344, 16);
    bResetLoader = MakeButton(gbControl, "bResetLoader", QStringLiteral("Reset &Loader"), 344, 48);
    bGo = MakeButton(gbControl, "bGo", QStringLiteral("&Upload Now"), 344, 80);
    bGo->setEnabled(false);

    gbTarget = Place(new QGroupBox(QStringLiteral("General Information"), this), "gbTarget", 8,
                     112, 449, 97);
    Label7 = MakeLabel(gbTarget, "Label7", QStringLiteral("Loader Version"), 112, 24);
    eLdrVersion = MakeDisplayBox(gbTarget, "eLdrVersion", 192, 16, 177);
    Label1 = MakeLabel(gbTarget, "Label1", QStringLiteral("Upgrading QR740 to Version"), 48, 48);
    eNewVersion = MakeDisplayBox(gbTarget, "eNewVersion", 192, 40, 57);
    Label2 = MakeLabel(gbTarget, "Label2", QStringLiteral("from Version"), 125, 72);
    eCurrentVersion = MakeDisplayBox(gbTarget, "eCurrentVersion", 192, 64, 57);
    // Beside the versions, where the box had room: the controls laid out
    // before keep their places.
    lUnit = MakeLabel(gbTarget, "lUnit", QStringLiteral("Unit"), 268, 48);
    eUnit = Place(new QLineEdit(gbTarget), "eUnit", 296, 40, 145, 21);
    eUnit->setToolTip(QStringLiteral("Scan the unit's label: the next controller's record carries it"));
    // A scanner ends each label with Enter: the next scan replaces it.
    connect(eUnit, &QLineEdit::returnPressed, eUnit, &QLineEdit::selectAll);

    gbState = Place(new QGroupBox(QStringLiteral("Current Status"), this), "gbState", 8, 208,
                    449, 281);
    lState = Place(new QLabel(QStringLiteral("Waiting for Target"), gbState), "lState", 8, 16,
                   433, 33);
    lState->setAlignment(Qt::AlignCenter);
    lState->setFont(LoaderFont(24));
    pgUpload = Place(new TNeedleGauge(gbState), "pgUpload", 8, 56, 433, 193);
    Label8 = MakeLabel(gbState, "Label8", QStringLiteral("Upload Progress"), 184, 256);

    // Between the status box and the window's lower edge, where the layout left
    // a strip: the controls above keep their places.
    lJournal = Place(new QLabel(this), "lJournal", 8, 489, 449, 16);
    lJournal->hide();

    // Outside the laid-out group boxes, where a wider window has room.
    lPortDevice = new QLabel(this);
    lPortDevice->setObjectName(QStringLiteral("lPortDevice"));
    lPortDevice->move(gbControl->geometry().right() + 12, gbControl->y() + 32);
    lPortDevice->hide();
    bGang = new QPushButton(QStringLiteral("Gang view (Ctrl+G)"), this);
    bGang->setObjectName(QStringLiteral("bGang"));
    bGang->adjustSize();
    bGang->move(lPortDevice->x(), gbControl->y() + 60);
    bGang->hide();
    bGang->setFocusPolicy(Qt::NoFocus); // the Tab order stays the window's own
    connect(bGang, &QPushButton::clicked, this, [this] {
        if (openGang_)
            openGang_();
    });
    auto* gangKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+G")), this);
    connect(gangKey, &QShortcut::activated, bGang, &QPushButton::click);
    rgPort->setContextMenuPolicy(Qt::CustomContextMenu);
    rgPort->installEventFilter(this);

    KeepLabelBefore(Label4, eBinaryFile);
    KeepLabelBefore(Label3, eParameterFile);
    KeepLabelBefore(Label7, eLdrVersion);
    KeepLabelBefore(Label1, eNewVersion);
    KeepLabelBefore(Label2, eCurrentVersion);
    KeepLabelBefore(lUnit, eUnit);

    // A scanner types into whatever has the focus: the unit's field has it from
    // the start and after each controller, and comes first in the tab order.
    setTabOrder(eUnit, cbAuto);
    setTabOrder(cbAuto, bExit);
    setTabOrder(bExit, bGo);
    setTabOrder(bGo, bResetLoader);
    setTabOrder(bResetLoader, eParameterFile);
    setTabOrder(eParameterFile, eBinaryFile);
    setTabOrder(eBinaryFile, rgPort);
    eUnit->setFocus();
}

void TfmLoader::ConnectHandlers()
{
    // Every handler runs under the top-level report: an exception ends the handler
    // and is shown, and the window carries on.
    const auto on = [this](auto* sender, auto signal, void (TfmLoader::*handler)(QObject*)) {
        connect(sender, signal, this,
                [this, sender, handler] { RunReported([&] { (this->*handler)(sender); }); });
    };
    // activated, unlike currentIndexChanged, comes only from the operator's
    // choice, so selecting the configured port from code reopens nothing.
    on(rgPort, &QComboBox::activated, &TfmLoader::rgPortChange);
    // toggled comes from code as well: ticking the box in FormCreate runs the
    // handler too.
    on(cbAuto, &QCheckBox::toggled, &TfmLoader::cbAutoClick);
    on(bGo, &QPushButton::clicked, &TfmLoader::bGoClick);
    on(bResetLoader, &QPushButton::clicked, &TfmLoader::bResetLoaderClick);
    on(bExit, &QPushButton::clicked, &TfmLoader::bExitClick);
    on(sbSelectBFile, &QToolButton::clicked, &TfmLoader::sbSelectBFileClick);
    on(sbSelectPFile, &QToolButton::clicked, &TfmLoader::sbSelectPFileClick);
    connect(rgPort, &QComboBox::customContextMenuRequested, this,
            [this](const QPoint& at) { RunReported([&] { ShowPortMenu(at); }); });
}

void TfmLoader::RefreshPortLabels()
{
    if (!Ini)
        return;
    try {
        survey_ = SurveyPorts(*Ini);
    } catch (const std::exception&) {
        // Without the list of devices the numbers are shown by their paths.
        survey_ = MakePortSurvey(ReadPortMappings(*Ini), {});
    }
    for (int com = 1; com <= kPortCount; ++com) {
        const TPortLabel label = PortLabel(survey_, com);
        rgPort->setItemData(com - 1, QString::fromStdString(label.toolTip), Qt::ToolTipRole);
        if (com == rgPort->currentIndex() + 1) {
            rgPort->setToolTip(QString::fromStdString(label.toolTip));
            lPortDevice->setText(QString::fromStdString(label.text));
            lPortDevice->adjustSize();
        }
    }
}

bool TfmLoader::eventFilter(QObject* watched, QEvent* event)
{
    // Adapters come and go: what the list shows is looked at again whenever the
    // technician turns to it.
    if (watched == rgPort) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::KeyPress:
        case QEvent::ToolTip:
        case QEvent::ContextMenu:
            RefreshPortLabels();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TfmLoader::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    lPortDevice->setVisible(width() >= lPortDevice->x() + 160);
    lPortDevice->setFixedWidth(std::max(0, width() - lPortDevice->x() - 8));
    bGang->setVisible(openGang_ && width() >= bGang->geometry().right() + 8);
}

void TfmLoader::ShowPortMenu(const QPoint& at)
{
    RefreshPortLabels();
    const std::int32_t com = rgPort->currentIndex() + 1;
    if (com < 1)
        return;
    QMenu menu(this);
    QMenu* map = menu.addMenu(QStringLiteral("Map Com %1 to").arg(com));
    if (survey_.ports.empty())
        map->addAction(QStringLiteral("No serial device found"))->setEnabled(false);
    for (const TSerialPort& port : survey_.ports) {
        const QString text = QStringLiteral("%1 (%2)").arg(QString::fromStdString(DescribePort(port)),
                                                           QString::fromStdString(port.node));
        QAction* action = map->addAction(text);
        connect(action, &QAction::triggered, this, [this, com, port] { RunReported([&] { MapPortTo(com, port); }); });
    }
    menu.exec(rgPort->mapToGlobal(at));
}

void TfmLoader::MapPortTo(std::int32_t com, const TSerialPort& port)
{
    WritePortMapping(*Ini, com, MappingPathFor(port, survey_.ports));
    RefreshPortLabels();
    // The chosen port now names another device: opened on it as after a port
    // change, without saving the choice again.
    if (com == ProgPort.PortNum()) {
        Session->StopLookingForPort();
        ProgPort.Close();
        pause_(kPortChangePause);
        OpenProgPort();
    }
}

void TfmLoader::FormCreate(QObject*)
{
    const QString folder = WithTrailingSeparator(folder_);
    BinaryFolder = folder;
    ParamFolder = folder;
    Ini = std::make_unique<TIniFile>(
        QFile::encodeName(folder + QStringLiteral("Loader.ini")).toStdString());
    try {
        Journal = std::make_unique<TSessionJournal>(ResolveJournalPlace(folder, *Ini));
        Journal->OnWriteFailed = [this](const QString& text) {
            journalError_ = text;
            JournalFailed(text);
        };
        Journal->OnWriteRecovered = [this] { journalFailing_ = false; };
        Journal->OnForwardingChanged = [this](const TJournalForwarderStatus&) { ShowForwarding(); };
        Journal->OnCounted = [this](const TJournalSummary& today) {
            today_ = today.All;
            ShowForwarding();
        };
        Journal->CountToday();
        // Each record asks again; this look starts the next day's counts
        // at midnight.
        countLook_ = new QTimer(this);
        connect(countLook_, &QTimer::timeout, this, [this] { Journal->CountToday(); });
        countLook_->start(60000);
        if (Journal->ForwardingStatus()) {
            // The count of records waiting changes with every record and every
            // batch sent; a look a second keeps the line true without a call
            // for each.
            forwardingLook_ = new QTimer(this);
            connect(forwardingLook_, &QTimer::timeout, this, [this] { ShowForwarding(); });
            forwardingLook_->start(1000);
            ShowForwarding();
        }
    } catch (const TJournalError& e) {
        // Programming goes on without a record; the operator knows.
        JournalFailed(QString::fromStdString(e.what()));
    }
    ReadUnits();

    const std::int32_t port = PortFromSetting(Ini->ReadInteger("Communications", "Port", 1));
    rgPort->setCurrentIndex(port >= 1 ? port - 1 : -1);
    ProgPort.SetPortNum(port);
    OpenProgPort();

    eNewVersion->setText(NewVersionFor(*Ini, QString()));
    cbAuto->setChecked(Ini->ReadInteger("Auto Mode", "Auto", 0) == 1);
    eParameterFile->setText(FromSettings(Ini->ReadString("Load Parameters", "Parameter File", "")));
    eBinaryFile->setText(FromSettings(Ini->ReadString("Binary", "QR 740", "")));
    imagePin_ = ImagePinFor(*Ini);
    SetStage(WaitingForTarget);
    RefreshPortLabels();
}

void TfmLoader::FormClose(QObject*, TCloseAction&)
{
    // Nothing of the conversation may run once the window is going: a reply or a
    // time-out would otherwise reopen the port of a closed window.
    Session->Shutdown(QStringLiteral("The window was closed"));
    if (forwardingLook_)
        forwardingLook_->stop();
    if (countLook_)
        countLook_->stop();
    ProgPort.Close();
    if (Journal) {
        // Nothing the operator does while the last records are written acts.
        setEnabled(false);
        // Every record is written before the window goes, as long as the file
        // takes it within the wait; what it would not take is said, and kept
        // on standard error in full.
        Journal->OnWriteFailed = [this](const QString& text) { journalError_ = text; };
        const std::vector<TJournalRecord> lost = Journal->Finish();
        if (!lost.empty()) {
            const std::string lines = FormatHistoryJson(lost);
            std::fwrite(lines.data(), 1, lines.size(), stderr);
            std::fflush(stderr);
            const QString why = journalError_.isEmpty()
                                    ? QStringLiteral("not taken within %1 s").arg(kJournalFinishWait.count() / 1000)
                                    : journalError_;
            ShowErrorBox(this, QStringLiteral("%1 could not be written to the journal: %2. Printed in full on "
                                              "standard error.")
                                   .arg(lost.size() == 1 ? QStringLiteral("The record of 1 controller")
                                                         : QStringLiteral("The records of %1 controllers")
                                                               .arg(lost.size()),
                                        why));
        }
    }
    Journal.reset();
    Ini.reset();
}

void TfmLoader::closeEvent(QCloseEvent* event)
{
    TCloseAction action = caHide;
    RunReported([&] { FormClose(this, action); });
    if (action == caNone)
        event->ignore();
    else
        event->accept();
}

void TfmLoader::OpenProgPort()
{
    if (!Ini)
        return; // the window has closed
    device_ = PortDevicePath(*Ini, ProgPort.PortNum());
    ProgPort.SetDeviceName(DevicePattern(device_));
    ProgPort.Open();
}

void TfmLoader::SetStage(LoaderStage stage)
{
    Session->SetStage(stage);
}

void TfmLoader::rgPortChange(QObject*)
{
    const int port = rgPort->currentIndex() + 1;
    Session->StopLookingForPort();
    ProgPort.Close();
    pause_(kPortChangePause);
    ProgPort.SetPortNum(port);
    OpenProgPort();
    // Only a port that opened is remembered, so the file always names one that
    // worked.
    Ini->WriteInteger("Communications", "Port", port);
    RefreshPortLabels();
}

void TfmLoader::cbAutoClick(QObject*)
{
    // Offered only between the version reply and the start of the upload: before
    // it the flash geometry is unknown, after it a second press would erase the
    // flash under the upload.
    bGo->setEnabled(!cbAuto->isChecked() && Session->UploadNowReady());
}

void TfmLoader::bGoClick(QObject*)
{
    Session->bGoClick();
}

void TfmLoader::bResetLoaderClick(QObject*)
{
    Session->bResetLoaderClick();
}

void TfmLoader::bExitClick(QObject*)
{
    close();
}

QString TfmLoader::ChooseFile(const QString& dialogName, const QString& filter,
                              const QString& folder)
{
    QFileDialog dialog(this, QStringLiteral("Open"), folder, filter);
    dialog.setObjectName(dialogName);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void TfmLoader::sbSelectBFileClick(QObject*)
{
    const QString chosen =
        ChooseFile(QStringLiteral("OpenBFile"), kImageFilters, BinaryFolder);
    if (chosen.isEmpty())
        return;
    // The image is later found again as folder, name and extension, and that must
    // be the file the operator chose, whatever the case of its extension.
    // A pinned image is the only one the window takes: another is refused now,
    // not at the next controller's erase.
    if (!imagePin_.isEmpty()) {
        const QString digest = FileSha256(chosen);
        if (digest != imagePin_) {
            ShowErrorBox(this, QStringLiteral("Target Binary File %1 Is Not The Pinned Image: Its SHA-256 Is %2, "
                                              "Not %3")
                                   .arg(chosen, digest.isEmpty() ? QStringLiteral("Unknown") : digest, imagePin_));
            return;
        }
    }
    imageHeard_.clear();
    imageNotice_.clear();
    ShowForwarding();
    const QString name = NameWithoutExtension(chosen);
    BinaryFolder = WithTrailingSeparator(QFileInfo(chosen).absolutePath());
    BinaryExtension = ExtensionOf(chosen);
    eBinaryFile->setText(name);
    if (Ini)
        eNewVersion->setText(NewVersionFor(*Ini, name));
}

void TfmLoader::sbSelectPFileClick(QObject*)
{
    const QString chosen = ChooseFile(QStringLiteral("openPFile"),
                                      QStringLiteral("Parameter Files (*.par)"), ParamFolder);
    if (chosen.isEmpty())
        return;
    ParamFolder = WithTrailingSeparator(QFileInfo(chosen).absolutePath());
    ParamExtension = ExtensionOf(chosen);
    eParameterFile->setText(NameWithoutExtension(chosen));
}

void TfmLoader::StatusChanged(TSessionStatus, const QString& text)
{
    lState->setText(text);
}

void TfmLoader::ShowLoaderVersion(const QString& text)
{
    eLdrVersion->setText(text);
}

void TfmLoader::ShowCurrentVersion(const QString& text)
{
    eCurrentVersion->setText(text);
}

void TfmLoader::EnableUploadNow(bool enabled)
{
    bGo->setEnabled(enabled);
}

void TfmLoader::SetProgressRange(std::int32_t maxValue)
{
    pgUpload->SetMaxValue(maxValue);
    pgUpload->SetMinValue(0);
}

void TfmLoader::SetProgress(std::int32_t value)
{
    pgUpload->SetProgress(value);
}

void TfmLoader::AdvanceProgress(std::int32_t step)
{
    pgUpload->AdvanceProgress(step);
}

void TfmLoader::ShowError(const QString& text)
{
    ShowErrorBox(this, text);
}

void TfmLoader::ShowPortError(const QString& text)
{
    // As every failure of the port has always been shown: the top-level report.
    ShowApplicationReport(text);
}

bool TfmLoader::AutoProgram() const
{
    return cbAuto->isChecked();
}

QString TfmLoader::ImageFolder() const
{
    return BinaryFolder;
}

QString TfmLoader::ImageName() const
{
    return eBinaryFile->text();
}

QString TfmLoader::ImageExtension() const
{
    return BinaryExtension;
}

QString TfmLoader::ParameterFolder() const
{
    return ParamFolder;
}

QString TfmLoader::ParameterName() const
{
    return eParameterFile->text();
}

QString TfmLoader::ParameterExtension() const
{
    return ParamExtension;
}

QString TfmLoader::LoaderFor(const std::string& targetId) const
{
    return Ini ? FromSettings(Ini->ReadString("Loader", targetId, "")) : QString();
}

QString TfmLoader::ProgramFolder() const
{
    return WithTrailingSeparator(folder_);
}

TImageExpectation TfmLoader::ExpectedImage() const
{
    return {imagePin_.isEmpty() ? imageHeard_ : imagePin_, !imagePin_.isEmpty()};
}

void TfmLoader::ImageChanged(const QString&, const QString& now)
{
    imageHeard_ = now;
    imageNotice_ = QStringLiteral("Image file changed on disk, now SHA-256 %1").arg(now);
    ShowForwarding();
}

TJournalContext TfmLoader::JournalContext() const
{
    return {kFrontEndWindow, ProgPort.PortNum(), device_, {}, eNewVersion->text()};
}

void TfmLoader::ReadUnits()
{
    const TUnitSettings settings = ReadUnitSettings(*Ini);
    if (!settings.Error.isEmpty()) {
        // Every controller is refused its number until the settings are mended.
        unitSettingsError_ = settings.Error;
        ShowErrorBox(this, settings.Error);
    }
    unitSeries_ = settings.Series;
    if (!unitSeries_ && unitSettingsError_.isEmpty())
        return;
    eUnit->setReadOnly(true);
    eUnit->setFocusPolicy(Qt::NoFocus);
    eUnit->setToolTip(QStringLiteral("The serial number given to the last controller ([Serial Numbers])"));
    cbAuto->setFocus();
    if (!unitSeries_)
        return;
    if (!Journal) {
        unitSettingsError_ = QStringLiteral("Serial Numbers Are Taken From The Journal, Which Could Not Be Opened");
        return;
    }
    try {
        if (Journal->UnitsLeft(*unitSeries_) == 0)
            ShowErrorBox(this, QStringLiteral("Serial Number Series %1 Is Used Up")
                                   .arg(QString::fromStdString(unitSeries_->Format)));
    } catch (const TJournalError& e) {
        // Taking a number will say so again, controller by controller.
        JournalFailed(QString::fromStdString(e.what()));
    }
}

void TfmLoader::ControllerStarted()
{
    unit_ = {};
}

void TfmLoader::ControllerIdentified(const TControllerRecord& record)
{
    const std::uint64_t controller = ++identified_;
    TControllerRecord underWay = record;
    if (!unitSettingsError_.isEmpty()) {
        unit_ = {TUnitAnswer::Refused, unitSettingsError_};
    } else if (unitSeries_) {
        unit_ = {TUnitAnswer::Pending, {}};
        journalId_ = Journal->Begin(underWay, JournalContext(), unitSeries_,
                                    [this, controller](const QString& unit, const QString& usedUp) {
                                        if (controller != identified_ || unit_.State != TUnitAnswer::Pending)
                                            return;
                                        if (unit.isEmpty()) {
                                            unit_ = {TUnitAnswer::Refused, usedUp};
                                        } else {
                                            unit_ = {TUnitAnswer::Known, unit};
                                            eUnit->setText(unit);
                                        }
                                    });
        return;
    } else if (const QString label = eUnit->text().trimmed(); !label.isEmpty()) {
        unit_ = {TUnitAnswer::Known, label};
        labelTaken_ = label;
        underWay.Unit = label;
    }
    if (Journal)
        journalId_ = Journal->Begin(underWay, JournalContext());
}

void TfmLoader::ControllerEnded(const TControllerRecord& record)
{
    // A controller that ended before its upload never asked for its unit; its
    // record still names the label it took.
    TControllerRecord finished = record;
    if (finished.Unit.isEmpty() && unit_.State == TUnitAnswer::Known)
        finished.Unit = unit_.Text;
    unit_ = {};
    // Written on the journal's thread; a failure comes back as OnWriteFailed,
    // after the session's own call has ended.
    if (!record.ImageSha256.isEmpty())
        imageHeard_ = record.ImageSha256;
    if (Journal) {
        Journal->Complete(std::exchange(journalId_, {}), finished, JournalContext());
        Journal->CountToday();
    }
    // A label scanned meanwhile for the next unit stays.
    if (!labelTaken_.isEmpty() && eUnit->text().trimmed() == labelTaken_)
        eUnit->clear();
    labelTaken_.clear();
    if (!unitSeries_ && eUnit->isEnabled())
        eUnit->setFocus();
}

void TfmLoader::JournalFailed(const QString& text)
{
    if (journalFailing_)
        return;
    journalFailing_ = true;
    ShowErrorBox(this, text);
}

void TfmLoader::ShowForwarding()
{
    const auto status = Journal ? Journal->ForwardingStatus() : std::nullopt;
    QStringList parts;
    if (!imageNotice_.isEmpty())
        parts << imageNotice_;
    if (today_)
        parts << QStringLiteral("Today: %1 programmed, %2 failed").arg(today_->Programmed).arg(today_->Failed);
    if (status)
        parts << ForwardingText(*status);
    const QString text = parts.join(QStringLiteral(". "));
    lJournal->setToolTip(text);
    lJournal->setText(lJournal->fontMetrics().elidedText(text, Qt::ElideRight, lJournal->width()));
    lJournal->setVisible(!text.isEmpty());
}

void TfmLoader::Pausing(std::chrono::milliseconds period)
{
    if (sessionPaused_)
        sessionPaused_(period);
}
