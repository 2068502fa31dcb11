#include "quitonsignal.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>

#include <gtest/gtest.h>

namespace {

TEST(QuitOnSignal, EndsTheEventLoopInsteadOfTheProcess)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        TQuitOnSignal quitOnSignal;
        EXPECT_FALSE(quitOnSignal.Requested());
        // Raised before the loop runs, as when the session ends while the window
        // is still being built: the request waits for the loop.
        ASSERT_EQ(std::raise(signal), 0);
        // The application's own loop, as in the program: once exit has been
        // called, no other loop runs until the application's exec again.
        QObject hangGuard; // only against a hang: the loop ends long before
        QTimer::singleShot(std::chrono::seconds(30), &hangGuard, [] { QCoreApplication::exit(99); });
        EXPECT_EQ(QCoreApplication::exec(), 0);
        EXPECT_TRUE(quitOnSignal.Requested());
    }
}

} // namespace
