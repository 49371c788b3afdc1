// XmlRepeatLearner: whether the values of one kind (an attribute's, a leaf's text, a comment's)
// repeat, learnt from those read so far, so that the builder looks up only values likely to be
// shared. A value found counts 2 up (to 8), one not found 1 down (to -4): values are looked up while
// more than a third of them repeat. It starts at 2, as the first value is never found. Below 0 only
// one value in 16 is looked up, to learn again soon when the values start to repeat.
// Ownership: a plain value. Thread rules: one tree builder, one thread.
#pragma once

#include <cstdint>

class XmlRepeatLearner {
public:
    bool lookUp() noexcept { return iRepeat >= 0 || (++iSkipped & 15u) == 0; }
    void note(bool found) noexcept {
        if (found) iRepeat = static_cast<std::int8_t>(iRepeat < 6 ? iRepeat + 2 : 8);
        else if (iRepeat > -4) --iRepeat;
    }

    // Whether values of this kind were seen to come in pieces (text around references).
    bool grows() const noexcept { return iGrows; }
    void setGrows() noexcept { iGrows = true; }

private:
    bool iGrows = false;
    std::int8_t iRepeat = 2;
    std::uint8_t iSkipped = 0;
};
