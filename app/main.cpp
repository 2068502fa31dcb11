#include "loader.h"
#include "messages.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv)
{
    // A file-size limit would otherwise kill the program in the middle of a
    // settings write; ignored, the write fails with EFBIG or comes up short, and
    // the operator is told the settings could not be saved, with the file whole.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    InstallApplicationExceptionReport();
    TfmLoader fmLoader;
    fmLoader.show();
    return app.exec();
}
