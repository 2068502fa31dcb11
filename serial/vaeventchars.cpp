#include "vaeventchars.h"

#include <stdexcept>

void TVaPersistent::BeginUpdate()
{
    ++updateCount_;
}

void TVaPersistent::EndUpdate()
{
    if (updateCount_ > 0)
        --updateCount_;
    Changed();
}

void TVaPersistent::Changed()
{
    if (updateCount_ == 0 && OnChange) {
        // A copy, so that a handler may replace OnChange while it runs.
        const TVaChangeEvent handler = OnChange;
        handler(this);
    }
}

void TVaPersistent::Assign(const TVaPersistent& /*source*/)
{
    throw std::invalid_argument("Cannot assign between these objects");
}

void TVaEventChars::SetChar(int index, std::uint8_t value)
{
    if (index < 1 || index > 4)
        return;
    chars_[index - 1] = value;
    Changed();
}

void TVaEventChars::Assign(const TVaPersistent& source)
{
    const auto* other = dynamic_cast<const TVaEventChars*>(&source);
    if (!other) {
        TVaPersistent::Assign(source);
        return;
    }
    if (other == this)
        return;
    // Between BeginUpdate and EndUpdate the setters notify nobody, so the owner
    // hears of the four characters once.
    BeginUpdate();
    SetXonChar(other->XonChar());
    SetXoffChar(other->XoffChar());
    SetErrorChar(other->ErrorChar());
    SetEventChar(other->EventChar());
    EndUpdate();
}
