#include "loader.h"
#include "messages.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    InstallApplicationExceptionReport();
    TfmLoader fmLoader;
    fmLoader.show();
    return app.exec();
}
