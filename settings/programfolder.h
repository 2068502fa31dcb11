#pragma once

// The command line and the program's folder: the folder that holds Loader.ini
// and against which the window resolves loader, image and parameter files. On a
// bench PC that is the executable's own folder; an installed copy lives in a
// folder the operator may not write, so it keeps its files in the user's
// configuration folder instead.

#include "serialports.h"

#include <QString>

#include <string>
#include <vector>

enum class TProgramAction { Run, Help, Version, Error };

struct TProgramOptions {
    TProgramAction action = TProgramAction::Run;
    // --folder's value as given; empty when the option is absent.
    QString folder;
    // --gang: the gang view, whichever view was open last.
    bool gang = false;
    // For TProgramAction::Error: what was wrong, without the program's name.
    QString error;
    // The program's name and every argument that belongs to Qt, in their order.
    std::vector<std::string> qtArguments;
};

// Reads the command line, program name first. Qt's own options (-platform,
// -style, ...) are passed on for QApplication; anything else that is not ours
// is an error, so that a mistyped option is reported instead of ignored.
// --help, --version and an error end the reading where they stand.
TProgramOptions ParseProgramOptions(const std::vector<std::string>& arguments);

QString ProgramUsage();
// "qr740-programmer 3.03"
QString ProgramVersionLine();

enum class TFolderSource { Option, Portable, UserConfiguration };

struct TProgramFolder {
    QString path;
    TFolderSource source = TFolderSource::UserConfiguration;
};

// What the choice depends on, gathered by CurrentFolderContext().
struct TFolderContext {
    QString executableFolder;
    bool loaderIniBesideExecutable = false;
    QString xdgConfigHome; // as in the environment, possibly empty
    QString home;
    QString currentFolder; // --folder may be relative to it
};

TProgramFolder ResolveProgramFolder(const QString& optionFolder, const TFolderContext& context);

// The running program's context; needs the application object.
TFolderContext CurrentFolderContext();

// The Loader.ini written into a program folder that has none: its sections with
// examples as comments, and in [Ports] a commented entry for each adapter of
// `present` that no COM number reaches without one, numbered from COM1, so
// that removing two semicolons maps the adapter to the port the window starts
// with.
std::string LoaderIniTemplate(const std::vector<TSerialPort>& present);

// Creates the folder and, when it holds no Loader.ini, writes the template
// there for the devices present now (EnumerateSerialPorts; when they cannot be
// listed, the template says that none was found). Throws std::runtime_error
// naming the folder or file and the cause.
void PrepareProgramFolder(const QString& folder);
// The same for the devices `present`.
void PrepareProgramFolder(const QString& folder, const std::vector<TSerialPort>& present);
