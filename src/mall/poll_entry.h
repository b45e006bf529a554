#pragma once
// One descriptor a run waits for, and what it became ready for.

namespace vellicor::mall {

struct PollEntry {
    enum : short { In = 0x1, Out = 0x4 };
    int fd = -1;
    short events = 0;
    short revents = 0;
};

}  // namespace vellicor::mall
