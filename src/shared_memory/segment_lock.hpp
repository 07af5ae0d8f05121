#pragma once
// SegmentLock: the segment's lock for one section, as each OS has it. Its
// fast path is inline (a call per admission shows in the profile), so the
// class is declared per OS; both have the same members.
#if defined(_WIN32)
#include "shared_memory/windows/segment_lock.hpp"
#else
#include "shared_memory/linux/segment_lock.hpp"
#endif
