#pragma once

// Persistent sub-objects of the component: a change counter that lets a batch of
// writes announce itself once, and the four special characters of the line.

#include <cstdint>
#include <functional>

class TVaPersistent;
using TVaChangeEvent = std::function<void(TVaPersistent* Sender)>;

class TVaPersistent {
public:
    virtual ~TVaPersistent() = default;

    void BeginUpdate();
    void EndUpdate();
    // Calls OnChange unless an update is under way.
    void Changed();

    // Copies `source`; types that do not know each other refuse with
    // std::invalid_argument.
    virtual void Assign(const TVaPersistent& source);

    TVaChangeEvent OnChange;

protected:
    std::int32_t UpdateCount() const { return updateCount_; }

private:
    std::int32_t updateCount_ = 0;
};

class TVaEventChars : public TVaPersistent {
public:
    static constexpr std::uint8_t kDefaultXonChar = 17;
    static constexpr std::uint8_t kDefaultXoffChar = 19;

    std::uint8_t XonChar() const { return chars_[0]; }
    std::uint8_t XoffChar() const { return chars_[1]; }
    std::uint8_t ErrorChar() const { return chars_[2]; }
    std::uint8_t EventChar() const { return chars_[3]; }
    void SetXonChar(std::uint8_t value) { SetChar(1, value); }
    void SetXoffChar(std::uint8_t value) { SetChar(2, value); }
    void SetErrorChar(std::uint8_t value) { SetChar(3, value); }
    void SetEventChar(std::uint8_t value) { SetChar(4, value); }

    // Index 1 to 4: XonChar, XoffChar, ErrorChar, EventChar. Stores and then
    // calls Changed, also for an unchanged value.
    void SetChar(int index, std::uint8_t value);

    void Assign(const TVaPersistent& source) override;

    friend bool operator==(const TVaEventChars& a, const TVaEventChars& b)
    {
        for (int i = 0; i < 4; ++i)
            if (a.chars_[i] != b.chars_[i])
                return false;
        return true;
    }

private:
    std::uint8_t chars_[4] = {kDefaultXonChar, kDefaultXoffChar, 0, 0};
};
