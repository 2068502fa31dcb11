#include "wait.h"

#include <QEventLoop>
#include <QTimer>

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(std::chrono::milliseconds(2));
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(deadline, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    return condition();
}

void RunEventsFor(std::chrono::milliseconds period)
{
    QEventLoop loop;
    QTimer::singleShot(period, &loop, &QEventLoop::quit);
    loop.exec();
}
