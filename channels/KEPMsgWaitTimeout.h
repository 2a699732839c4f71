// Conversion of the wait's time-out in milliseconds to the timeval that the readiness wait takes.
//
// Up to and including 1000 ms everything goes into the microseconds (1000 ms is 0 s and
// 1 000 000 us); above it the whole seconds are split off (1001 ms is 1 s and 1000 us). 0 polls,
// and a negative value gives negative microseconds, which the readiness wait treats as a poll.
#pragma once

#include "platform/KEPWinsock.h"

timeval KEPMsgWaitTimeout(int timeoutMs);
