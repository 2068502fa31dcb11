// The component's sub-objects: the change-counting persistent base with the
// event characters, and the waitable event.

#include "vaeventchars.h"
#include "vasupport.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

class EventCharsChanges : public ::testing::Test {
protected:
    EventCharsChanges()
    {
        chars.OnChange = [this](TVaPersistent* sender) {
            EXPECT_EQ(sender, &chars);
            ++changes;
        };
    }
    TVaEventChars chars;
    int changes = 0;
};

TEST_F(EventCharsChanges, DefaultsAndOneNotificationPerWriteEvenWhenUnchanged)
{
    EXPECT_EQ(chars.XonChar(), 17);
    EXPECT_EQ(chars.XoffChar(), 19);
    EXPECT_EQ(chars.ErrorChar(), 0);
    EXPECT_EQ(chars.EventChar(), 0);

    chars.SetXonChar(17);
    EXPECT_EQ(changes, 1);
    chars.SetChar(2, 'S');
    chars.SetChar(3, '?');
    chars.SetChar(4, '\n');
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(chars.XoffChar(), 'S');
    EXPECT_EQ(chars.ErrorChar(), '?');
    EXPECT_EQ(chars.EventChar(), '\n');
}

TEST_F(EventCharsChanges, UpdatesNestAndEndWithOneNotification)
{
    chars.BeginUpdate();
    chars.BeginUpdate();
    chars.SetXonChar(1);
    chars.SetXoffChar(2);
    chars.EndUpdate();
    EXPECT_EQ(changes, 0); // still inside the outer update
    chars.EndUpdate();
    EXPECT_EQ(changes, 1);
    // An unmatched EndUpdate does not drive the counter below zero.
    chars.EndUpdate();
    EXPECT_EQ(changes, 2);
    chars.SetXonChar(3);
    EXPECT_EQ(changes, 3);
}

TEST_F(EventCharsChanges, AssignCopiesAllFourWithOneNotification)
{
    TVaEventChars source;
    source.SetXonChar('a');
    source.SetXoffChar('b');
    source.SetErrorChar('c');
    source.SetEventChar('d');
    chars.Assign(source);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(chars == source);

    struct Other : TVaPersistent {};
    EXPECT_THROW(chars.Assign(Other{}), std::invalid_argument);
    EXPECT_EQ(changes, 1);
}

TEST(SimpleEvent, StartsUnsignalledStaysSignalledUntilReset)
{
    TVaSimpleEvent event;
    ASSERT_NE(event.Handle(), kVaInvalidHandle);
    EXPECT_EQ(event.WaitFor(0), wrTimeout);
    event.Signal();
    EXPECT_EQ(event.WaitFor(0), wrSignaled);
    EXPECT_EQ(event.WaitFor(kVaInfinite), wrSignaled); // manual reset: still set
    event.Reset();
    EXPECT_EQ(event.WaitFor(0), wrTimeout);
    event.Reset(); // resetting an unsignalled event is harmless
    EXPECT_EQ(event.LastError(), 0);
}

TEST(SimpleEvent, WakesAWaiterOnAnotherThread)
{
    TVaSimpleEvent event;
    TVaWaitResult result = wrError;
    std::thread waiter([&] { result = event.WaitFor(kVaInfinite); });
    event.Signal();
    waiter.join();
    EXPECT_EQ(result, wrSignaled);
}

TEST(SimpleEvent, TimesOutAfterItsLimit)
{
    TVaSimpleEvent event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.WaitFor(30), wrTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

} // namespace
