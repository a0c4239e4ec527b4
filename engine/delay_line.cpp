#include "engine/delay_line.h"

namespace kestravon::ruvi {

void DelayLine::configure(std::int32_t delay, std::int32_t channels) {
    delay_ = delay > 0 ? delay : 0;
    channels_ = channels > 0 ? channels : 1;
    writePosition_ = 0;
    samples_.assign(static_cast<std::size_t>(delay_) * static_cast<std::size_t>(channels_), 0.0f);
}

} // namespace kestravon::ruvi
