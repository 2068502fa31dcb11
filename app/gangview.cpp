#include "gangview.h"

#include "inifile.h"
#include "journalrecord.h"
#include "messages.h"
#include "portmap.h"
#include "portsession.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

// Wide enough for a port's device and its outcome at a legible size: four
// columns fit 1280 pixels.
constexpr int kTileWidth = 300;
constexpr int kMostColumns = 4;

// Background and text of each outcome; every pair is well above 4.5:1.
struct TOutcomeLook {
    const char* word;
    const char* background;
    const char* text;
};

TOutcomeLook LookOf(TTileOutcome outcome)
{
    switch (outcome) {
    case TTileOutcome::Programmed:
        return {"Programmed", "#1b5e20", "#ffffff"};
    case TTileOutcome::Failed:
        return {"Failed", "#b71c1c", "#ffffff"};
    case TTileOutcome::Interrupted:
        return {"Interrupted", "#ffe082", "#000000"};
    case TTileOutcome::NoAdapter:
        return {"No adapter", "#b71c1c", "#ffffff"};
    case TTileOutcome::Stopped:
        return {"Stopped", "#e0e0e0", "#000000"};
    case TTileOutcome::Waiting:
        break;
    }
    return {"Waiting", "#e0e0e0", "#000000"};
}

QString GangVersionText(std::uint16_t hundredths)
{
    return QStringLiteral("%1.%2").arg(hundredths / 100).arg(hundredths % 100, 2, 10, QLatin1Char('0'));
}

// "QR740, was 2.50, unit SN-0042", as far as each is known.
QString IdentityText(const TControllerRecord& r)
{
    QStringList identity;
    if (!r.TargetId.empty())
        identity << QString::fromStdString(r.TargetId);
    if (r.VersionKnown)
        identity << QStringLiteral("was %1").arg(GangVersionText(r.InstalledVersion));
    if (!r.Unit.isEmpty())
        identity << QStringLiteral("unit %1").arg(r.Unit);
    return identity.join(QStringLiteral(", "));
}

// [Gang] Devices=: paths separated by commas, which no device link holds.
std::vector<std::string> SplitDevices(const std::string& text)
{
    std::vector<std::string> paths;
    for (const QString& part : QString::fromStdString(text).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString path = part.trimmed();
        if (!path.isEmpty())
            paths.push_back(path.toStdString());
    }
    return paths;
}

// Whether a kept path names `port`: its node, one of its links, or a link of
// the technician's own that leads to it.
bool Names(const std::string& kept, const TSerialPort& port)
{
    return kept == port.node || std::ranges::find(port.byIdLinks, kept) != port.byIdLinks.end() ||
           std::ranges::find(port.byPathLinks, kept) != port.byPathLinks.end() ||
           CanonicalDevice(kept) == CanonicalDevice(port.node);
}

} // namespace

TGangTile::TGangTile(const TFlashPort& port, QWidget* parent) : QFrame(parent), Port(port)
{
    setFrameShape(QFrame::StyledPanel);
    setObjectName(port.Name);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(3);

    cbUse = new QCheckBox(port.Name, this);
    cbUse->setChecked(true);
    QFont bold = cbUse->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    cbUse->setFont(bold);
    cbUse->setToolTip(port.Name + QStringLiteral(": ticked ports take part in Start, Stop and Reset for all"));
    lDevice = new QLabel(QString::fromStdString(port.Device), this);
    lDevice->setToolTip(lDevice->text());
    lStage = new QLabel(this);
    pbProgress = new QProgressBar(this);
    pbProgress->setRange(0, 1);
    pbProgress->setValue(0);
    lIdentity = new QLabel(this);
    lOutcome = new QLabel(this);
    lOutcome->setMargin(3);
    lCounts = new QLabel(this);
    // Long texts are cut, not the grid widened: the whole text is on hover.
    cbUse->setMinimumWidth(1);
    for (QLabel* label : {lDevice, lStage, lIdentity, lOutcome, lCounts})
        label->setMinimumWidth(1);
    lOutcome->setTextInteractionFlags(Qt::TextSelectableByMouse);

    // Sixteen tiles fit 1280x800 in four rows: the port's actions share the
    // row of its name, and the stage that of its progress.
    auto* top = new QHBoxLayout;
    top->addWidget(cbUse, 1);
    bStart = new QPushButton(QStringLiteral("Start"), this);
    bStop = new QPushButton(QStringLiteral("Stop"), this);
    bReset = new QPushButton(QStringLiteral("Reset"), this);
    bStart->setToolTip(QStringLiteral("Start this port (Ctrl+S)"));
    bStop->setToolTip(QStringLiteral("Stop this port (Ctrl+T)"));
    bReset->setToolTip(QStringLiteral("Back to waiting for a controller (Ctrl+R)"));
    // As narrow as their words, so that the name keeps the room.
    for (QPushButton* b : {bStart, bStop, bReset}) {
        b->setFixedWidth(b->fontMetrics().horizontalAdvance(b->text()) + 16);
        top->addWidget(b);
    }
    auto* stage = new QHBoxLayout;
    stage->addWidget(lStage, 1);
    stage->addWidget(pbProgress, 1);

    layout->addLayout(top);
    layout->addWidget(lDevice);
    layout->addLayout(stage);
    layout->addWidget(lIdentity);
    layout->addWidget(lOutcome);
    layout->addWidget(lCounts);
    ShowOutcome(TTileOutcome::Waiting, {});
    ShowCounts();
}

void TGangTile::ShowOutcome(TTileOutcome outcome, const QString& text)
{
    Outcome = outcome;
    const TOutcomeLook look = LookOf(outcome);
    // "Programmed with parameters", "Failed: <why>".
    const QString separator = outcome == TTileOutcome::Programmed ? QStringLiteral(" ") : QStringLiteral(": ");
    const QString full = text.isEmpty() ? QString::fromLatin1(look.word)
                                        : QString::fromLatin1(look.word) + separator + text;
    lOutcome->setStyleSheet(QStringLiteral("QLabel { background: %1; color: %2; font-weight: bold; }")
                                .arg(QLatin1String(look.background), QLatin1String(look.text)));
    lOutcome->setToolTip(full);
    lOutcome->setText(full);
}

void TGangTile::ShowIdentity(const TControllerRecord& record)
{
    Identity = record;
    lIdentity->setText(IdentityText(record));
    lIdentity->setToolTip(lIdentity->text());
}

void TGangTile::ShowCounts()
{
    lCounts->setText(QStringLiteral("Programmed %1, failed %2").arg(Programmed).arg(Failed));
}

TfmGang::TfmGang(TGangEnvironment environment, QWidget* parent)
    : QWidget(parent), environment_(std::move(environment))
{
    setObjectName(QStringLiteral("fmGang"));
    setWindowTitle(QStringLiteral("QR740 Programmer: gang"));
    const QString folder = QDir(environment_.folder).absolutePath() + QLatin1Char('/');
    iniPath_ = QFile::encodeName(folder + QStringLiteral("Loader.ini")).toStdString();
    const TIniFile ini(iniPath_);

    // Every mapped number whose device is there now; one that is not present
    // would only fail, and the technician maps it in the single-port window.
    TFlashOptions options;
    const std::vector<TPortMapping> mappings = ReadPortMappings(ini);
    for (const TPortMapping& mapping : mappings) {
        if (mapping.configured && !mapping.resolved.empty())
            options.Ports.push_back(QStringLiteral("COM%1").arg(mapping.com));
    }
    std::vector<TFlashPort> ports;
    for (const QString& name : options.Ports)
        ports.push_back(ResolveFlashPort(name, ini));
    const std::size_t mapped = ports.size();

    // Then every device present that no number opens, by its path: a hub of
    // more adapters than [Ports] has numbers. Ticked only when the technician
    // ticked it before, since nobody may have meant it for the bench.
    QString scanError;
    std::vector<TSerialPort> present;
    try {
        present = environment_.devices ? environment_.devices()
                                       : MakePortSurvey(mappings, EnumerateSerialPorts()).ports;
    } catch (const ESerialScanError& e) {
        scanError = QString::fromLocal8Bit(e.what());
    }
    keptTicks_ = SplitDevices(ini.ReadString("Gang", "Devices", ""));
    struct TUnmapped {
        std::string keptAs;
        bool ticked;
        QString description;
    };
    std::vector<TUnmapped> unmapped;
    for (const TSerialPort& device : present) {
        const bool opened = std::ranges::any_of(mappings, [&](const TPortMapping& m) { return MapsTo(m, device); });
        if (opened)
            continue;
        ports.push_back(ResolveFlashPort(QFile::decodeName(QByteArray::fromStdString(device.node)), ini));
        options.Ports.push_back(ports.back().Name);
        const bool ticked =
            std::ranges::any_of(keptTicks_, [&](const std::string& kept) { return Names(kept, device); });
        unmapped.push_back({MappingPathFor(device, present), ticked,
                            QStringLiteral("No COM number opens it: ") + QString::fromStdString(DescribePort(device))});
        // A tick kept for a device that is here now is written anew from the tile.
        std::erase_if(keptTicks_, [&](const std::string& kept) { return Names(kept, device); });
    }
    if (!ports.empty()) {
        TFlashSetup setup = PrepareFlash(options, folder, folder);
        if (setup.Status == TFlashSetup::Ready)
            settings_ = std::move(setup.Settings);
        else
            setUpError_ = setup.Error;
    }
    imageHeard_ = settings_.ImageSha256;

    CreateControls();
    for (std::size_t i = 0; i < ports.size(); ++i) {
        auto* tile = new TGangTile(ports[i], tileArea_);
        if (i >= mapped) {
            const TUnmapped& device = unmapped[i - mapped];
            tile->KeptAs = device.keptAs;
            tile->cbUse->setChecked(device.ticked);
            // The device's own name is the part that tells adapters apart;
            // the whole path is the line below.
            tile->cbUse->setText(QFileInfo(ports[i].Name).fileName());
            tile->lDevice->setToolTip(ports[i].Name + QLatin1Char('\n') + device.description);
        }
        tiles_.push_back(tile);
        connect(tile->bStart, &QPushButton::clicked, this, [this, tile] { StartPort(*tile); });
        connect(tile->bStop, &QPushButton::clicked, this, [this, tile] { StopPort(*tile); });
        connect(tile->bReset, &QPushButton::clicked, this, [this, tile] { ResetPort(*tile); });
        connect(tile->cbUse, &QCheckBox::toggled, this, [this, tile](bool on) {
            if (on)
                StartPort(*tile);
            else
                StopPort(*tile);
        });
    }
    Reflow();
    if (ports.empty())
        Log({}, QStringLiteral("No port to program: map a COM number to a present adapter in [Ports]"));
    else if (std::ranges::none_of(tiles_, [](const TGangTile* tile) { return tile->cbUse->isChecked(); }))
        Log({}, QStringLiteral("No port ticked: tick the devices to program, or map a COM number to one in [Ports]"));
    if (!scanError.isEmpty())
        Log({}, QStringLiteral("Only the mapped ports are shown: ") + scanError);
    if (!setUpError_.isEmpty())
        Log({}, setUpError_);

    try {
        Journal = std::make_unique<TSessionJournal>(ResolveJournalPlace(folder, ini));
        Journal->OnWriteFailed = [this](const QString& text) {
            journalError_ = text;
            Log({}, JournalWriteText(text, Journal->File()));
            ShowForwarding();
        };
        Journal->OnWriteRecovered = [this] {
            journalError_.clear();
            Log({}, QStringLiteral("The journal takes records again"));
            ShowForwarding();
        };
        Journal->OnForwardingChanged = [this](const TJournalForwarderStatus&) { ShowForwarding(); };
        Journal->OnCounted = [this](const TJournalSummary& today) {
            today_ = today;
            ShowToday();
        };
        Journal->CountToday();
        // Starts the next day's counts at midnight, and keeps the records
        // waiting for the server true without a call for each.
        look_ = new QTimer(this);
        connect(look_, &QTimer::timeout, this, [this] {
            ShowForwarding();
            if (++looks_ % 60 == 0)
                Journal->CountToday();
        });
        look_->start(1000);
    } catch (const TJournalError& e) {
        journalError_ = QString::fromStdString(e.what());
        Log({}, QStringLiteral("No record is kept: ") + journalError_);
    }
    ShowToday();
    ShowForwarding();

    // As the single-port window opens its port at start: nothing needs
    // pressing before the first controller.
    for (TGangTile* tile : tiles_) {
        if (tile->cbUse->isChecked())
            StartPort(*tile);
    }
}

TfmGang::~TfmGang()
{
    Shut();
    // The sessions report to this view and write to the journal: both must
    // still be there when the sessions go.
    for (TGangTile* tile : tiles_)
        tile->Session.reset();
    Journal.reset();
}

void TfmGang::CreateControls()
{
    auto* layout = new QVBoxLayout(this);
    auto* header = new QHBoxLayout;
    lToday = new QLabel(this);
    lToday->setObjectName(QStringLiteral("lToday"));
    QFont large = lToday->font();
    large.setPointSizeF(large.pointSizeF() * 1.3);
    large.setBold(true);
    lToday->setFont(large);
    lForwarding = new QLabel(this);
    lForwarding->setObjectName(QStringLiteral("lForwarding"));
    lForwarding->setMinimumWidth(1);
    header->addWidget(lToday);
    header->addStretch();
    header->addWidget(lForwarding, 1, Qt::AlignRight);
    layout->addLayout(header);

    auto* actions = new QHBoxLayout;
    bStartAll = new QPushButton(QStringLiteral("Start all (Ctrl+Shift+S)"), this);
    bStopAll = new QPushButton(QStringLiteral("Stop all (Ctrl+Shift+T)"), this);
    bResetAll = new QPushButton(QStringLiteral("Reset all (Ctrl+Shift+R)"), this);
    bSingle = new QPushButton(QStringLiteral("Single port (Ctrl+G)"), this);
    for (QPushButton* b : {bStartAll, bStopAll, bResetAll})
        actions->addWidget(b);
    actions->addStretch();
    actions->addWidget(bSingle);
    layout->addLayout(actions);
    connect(bStartAll, &QPushButton::clicked, this, &TfmGang::StartAll);
    connect(bStopAll, &QPushButton::clicked, this, &TfmGang::StopAll);
    connect(bResetAll, &QPushButton::clicked, this, &TfmGang::ResetAll);
    bSingle->setEnabled(bool(environment_.openSingle));
    connect(bSingle, &QPushButton::clicked, this, [this] {
        if (environment_.openSingle)
            environment_.openSingle();
    });

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    // The tiles take the width there is; only more rows than fit scroll.
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setFrameShape(QFrame::NoFrame);
    tileArea_ = new QWidget(scroll);
    grid_ = new QGridLayout(tileArea_);
    grid_->setContentsMargins(0, 0, 0, 0);
    scroll->setWidget(tileArea_);
    layout->addWidget(scroll, 1);

    mLog = new QPlainTextEdit(this);
    mLog->setObjectName(QStringLiteral("mLog"));
    mLog->setReadOnly(true);
    // The journal keeps every record; the pane is for looking back over the
    // last hours, and must not grow the window over a long shift.
    mLog->setMaximumBlockCount(1000);
    mLog->setFixedHeight(mLog->fontMetrics().lineSpacing() * 6 + 12);
    mLog->setTabChangesFocus(true);
    layout->addWidget(mLog);

    const auto key = [this](const QKeySequence& sequence, auto action) {
        auto* shortcut = new QShortcut(sequence, this);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    key(QKeySequence(QStringLiteral("Ctrl+Shift+S")), [this] { StartAll(); });
    key(QKeySequence(QStringLiteral("Ctrl+Shift+T")), [this] { StopAll(); });
    key(QKeySequence(QStringLiteral("Ctrl+Shift+R")), [this] { ResetAll(); });
    key(QKeySequence(QStringLiteral("Ctrl+G")), [this] { bSingle->click(); });
    // The port's own actions act on the tile that holds the keyboard focus;
    // Tab goes from tile to tile.
    const auto focused = [this]() -> TGangTile* {
        for (QWidget* w = focusWidget(); w; w = w->parentWidget()) {
            if (auto* tile = dynamic_cast<TGangTile*>(w))
                return tile;
        }
        return nullptr;
    };
    key(QKeySequence(QStringLiteral("Ctrl+S")), [this, focused] {
        if (TGangTile* tile = focused())
            StartPort(*tile);
    });
    key(QKeySequence(QStringLiteral("Ctrl+T")), [this, focused] {
        if (TGangTile* tile = focused())
            StopPort(*tile);
    });
    key(QKeySequence(QStringLiteral("Ctrl+R")), [this, focused] {
        if (TGangTile* tile = focused())
            ResetPort(*tile);
    });
    resize(1280, 800);
}

void TfmGang::Reflow()
{
    const int columns = std::clamp(width() / kTileWidth, 1, std::min(kMostColumns, std::max(1, int(tiles_.size()))));
    if (columns == columns_)
        return;
    columns_ = columns;
    for (TGangTile* tile : tiles_)
        grid_->removeWidget(tile);
    for (std::size_t i = 0; i < tiles_.size(); ++i)
        grid_->addWidget(tiles_[i], int(i) / columns, int(i) % columns, Qt::AlignTop);
    for (int c = 0; c < kMostColumns; ++c)
        grid_->setColumnStretch(c, c < columns ? 1 : 0);
    grid_->setRowStretch(int(tiles_.size() + columns - 1) / columns, 1);
}

void TfmGang::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Reflow();
}

void TfmGang::closeEvent(QCloseEvent* event)
{
    Shut();
    event->accept();
}

void TfmGang::Shut()
{
    if (closing_)
        return;
    closing_ = true;
    for (TGangTile* tile : tiles_)
        StopPort(*tile);
    // Written once every port has let go: no port waits for the disk.
    KeepTicks();
    if (!Journal)
        return;
    // Every record goes to disk before the program ends, or the technician
    // hears which did not.
    const std::vector<TJournalRecord> lost = Journal->Finish();
    if (lost.empty())
        return;
    const QString text = QStringLiteral("%1 record(s) could not be written to the journal %2: %3")
                             .arg(lost.size())
                             .arg(QString::fromStdString(Journal->File().string()),
                                  journalError_.isEmpty() ? QStringLiteral("not taken in time") : journalError_);
    std::fprintf(stderr, "qr740-programmer: %s\n", text.toLocal8Bit().constData());
    ShowErrorBox(this, text);
}

void TfmGang::StartPort(TGangTile& tile)
{
    if (closing_)
        return;
    if (!setUpError_.isEmpty()) {
        tile.ShowOutcome(TTileOutcome::Failed, setUpError_);
        return;
    }
    if (tile.Session && !tile.Session->Finished())
        return;
    Release(tile);
    auto session = std::make_unique<TPortSession>(tile.Port, settings_, 0, std::nullopt,
                                                  static_cast<TFlashReport&>(*this), Journal.get());
    session->ShareImageDigest(imageHeard_);
    session->SetFrontEnd(kFrontEndWindow);
    session->SetTiming(environment_.timing);
    TGangTile* at = &tile;
    session->OnFinished = [at] {
        at->lStage->setText(QStringLiteral("Stopped"));
        at->pbProgress->setValue(0);
    };
    try {
        session->Start();
    } catch (const EVaCommError& e) {
        const QString text = PortOpenText(tile.Port, QString::fromLocal8Bit(e.what()));
        tile.lStage->setText(QStringLiteral("Not open"));
        tile.ShowOutcome(TTileOutcome::NoAdapter, text);
        Log(tile.Port.Name, text);
        return;
    }
    tile.Session = std::move(session);
}

void TfmGang::StopPort(TGangTile& tile)
{
    if (!tile.Session || tile.Session->Finished())
        return;
    tile.Session->Stop(QStringLiteral("Stopped by the technician"));
    if (tile.Outcome == TTileOutcome::Waiting)
        tile.ShowOutcome(TTileOutcome::Stopped, {});
    Release(tile);
}

void TfmGang::ResetPort(TGangTile& tile)
{
    StopPort(tile);
    StartPort(tile);
}

void TfmGang::StartAll()
{
    for (TGangTile* tile : tiles_) {
        if (tile->cbUse->isChecked())
            StartPort(*tile);
    }
}

void TfmGang::StopAll()
{
    for (TGangTile* tile : tiles_) {
        if (tile->cbUse->isChecked())
            StopPort(*tile);
    }
}

void TfmGang::ResetAll()
{
    for (TGangTile* tile : tiles_) {
        if (tile->cbUse->isChecked())
            ResetPort(*tile);
    }
}

void TfmGang::Release(TGangTile& tile)
{
    // Only ever called from the view's own handlers, never from within the
    // session: it is not on the stack when it goes. A long shift of Stops and
    // Resets leaves nothing behind.
    if (tile.Session && tile.Session->Finished())
        tile.Session.reset();
}

void TfmGang::KeepTicks()
{
    std::vector<std::string> ticks = keptTicks_;
    for (const TGangTile* tile : tiles_) {
        if (!tile->KeptAs.empty() && tile->cbUse->isChecked())
            ticks.push_back(tile->KeptAs);
    }
    std::string text;
    for (const std::string& path : ticks)
        text += (text.empty() ? "" : ",") + path;
    // Written only when it changes, and never into a Loader.ini that is not
    // there: the single-port window makes the first one.
    try {
        if (!QFile::exists(QFile::decodeName(QByteArray::fromStdString(iniPath_))))
            return;
        TIniFile ini(iniPath_);
        if (ini.ReadString("Gang", "Devices", "") != text)
            ini.WriteString("Gang", "Devices", text);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "qr740-programmer: the ports ticked are not remembered: %s\n", error.what());
    }
}

TGangTile* TfmGang::TileOf(const TFlashPort& port) const
{
    for (TGangTile* tile : tiles_) {
        if (tile->Port.Name == port.Name)
            return tile;
    }
    return nullptr;
}

void TfmGang::Log(const QString& port, const QString& text)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    mLog->appendPlainText(port.isEmpty() ? stamp + QLatin1Char(' ') + text
                                         : stamp + QLatin1Char(' ') + port + QStringLiteral(": ") + text);
}

void TfmGang::ShowToday()
{
    if (!today_) {
        lToday->setText(Journal ? QStringLiteral("Today: counting") : QStringLiteral("Today: no journal"));
        return;
    }
    QString text =
        QStringLiteral("Today: %1 programmed, %2 failed").arg(today_->All.Programmed).arg(today_->All.Failed);
    // Of the units seen today, those programmed at their first attempt.
    if (today_->Units > 0)
        text += QStringLiteral(", first-pass yield %1%")
                    .arg(100.0 * today_->FirstPassUnits / today_->Units, 0, 'f', 1);
    lToday->setText(text);
}

void TfmGang::ShowForwarding()
{
    QString text;
    if (!Journal) {
        text = QStringLiteral("No journal: ") + journalError_;
    } else if (!journalError_.isEmpty()) {
        text = JournalWriteText(journalError_, Journal->File());
    } else if (const auto status = Journal->ForwardingStatus()) {
        text = ForwardingText(*status);
    } else {
        text = QStringLiteral("Journal: ") + QString::fromStdString(Journal->File().string()) +
               QStringLiteral(" (not forwarded)");
    }
    lForwarding->setToolTip(text);
    lForwarding->setText(text);
}

void TfmGang::Waiting(const TFlashPort& port)
{
    TGangTile* tile = TileOf(port);
    if (!tile)
        return;
    tile->lStage->setText(QStringLiteral("Waiting for Target"));
    tile->pbProgress->setRange(0, 1);
    tile->pbProgress->setValue(0);
    if (tile->Outcome == TTileOutcome::Stopped || tile->Outcome == TTileOutcome::NoAdapter)
        tile->ShowOutcome(TTileOutcome::Waiting, {});
}

void TfmGang::Status(const TFlashPort& port, TSessionStatus status, const QString& text)
{
    TGangTile* tile = TileOf(port);
    if (!tile)
        return;
    tile->lStage->setText(text);
    tile->lStage->setToolTip(text);
    // The version reply has come by the time the flash is written.
    if (status == TSessionStatus::ProgrammingFlash && tile->Session && !tile->Identity.VersionKnown) {
        TControllerRecord known = tile->Identity;
        known.VersionKnown = true;
        known.InstalledVersion = tile->Session->Session().CurrentVersion();
        tile->ShowIdentity(known);
    }
}

void TfmGang::Identified(const TFlashPort& port, const TControllerRecord& record)
{
    if (TGangTile* tile = TileOf(port))
        tile->ShowIdentity(record);
}

void TfmGang::WaitingForUnit(const TFlashPort& port)
{
    if (TGangTile* tile = TileOf(port))
        tile->lStage->setText(QStringLiteral("Waiting for the unit's label"));
}

void TfmGang::Progress(const TFlashPort& port, const TFlashProgress& progress)
{
    TGangTile* tile = TileOf(port);
    if (!tile || progress.Total == 0)
        return;
    tile->pbProgress->setRange(0, int(std::min<std::uint64_t>(progress.Total, INT_MAX)));
    tile->pbProgress->setValue(int(std::min(progress.Examined, progress.Total)));
}

void TfmGang::Error(const TFlashPort& port, const QString& text)
{
    Log(port.Name, text);
    TGangTile* tile = TileOf(port);
    if (tile && !closing_)
        tile->ShowOutcome(TTileOutcome::Failed, text);
}

void TfmGang::Controller(const TFlashPort& port, const TFlashController& controller)
{
    TGangTile* tile = TileOf(port);
    if (!tile)
        return;
    const TControllerRecord& r = controller.Record;
    // The record comes once the journal has it, when the port may have a
    // newer controller on its line: that one's identity stays shown.
    if (r.Started >= tile->Identity.Started)
        tile->ShowIdentity(r);
    const QString identity = IdentityText(r);

    QString words;
    switch (r.Outcome) {
    case TOutcome::Programmed:
    case TOutcome::ProgrammedWithParameters:
        ++tile->Programmed;
        words = r.Outcome == TOutcome::Programmed ? QString() : QStringLiteral("with parameters");
        tile->ShowOutcome(TTileOutcome::Programmed, words);
        break;
    case TOutcome::Interrupted:
        ++tile->Failed;
        tile->ShowOutcome(TTileOutcome::Interrupted, r.Message);
        break;
    case TOutcome::Failed:
        ++tile->Failed;
        tile->ShowOutcome(TTileOutcome::Failed, r.Message);
        break;
    }
    tile->ShowCounts();
    QString line = tile->lOutcome->text();
    if (!identity.isEmpty())
        line += QStringLiteral(" (") + identity + QLatin1Char(')');
    if (controller.Recorded == false)
        line += QStringLiteral("; its record could not be written to the journal");
    Log(port.Name, line);
    if (Journal && !closing_)
        Journal->CountToday();
}

void TfmGang::ImageChanged(const TFlashPort& port, const QString& before, const QString& now)
{
    Log(port.Name, ImageChangedText(before, now));
}

void TfmGang::WaitExpired(const TFlashPort&, double) {}
void TfmGang::Done(const std::vector<TFlashPortSummary>&, int) {}

void TfmGang::JournalWrite(const QString& error, const std::filesystem::path& journal)
{
    Log({}, JournalWriteText(error, journal));
}

void TfmGang::Forwarding(const TForwardingState&, bool)
{
    ShowForwarding();
}
