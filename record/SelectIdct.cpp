#include "av/CpuClass.h"
#include "card/LoadTimeGlobals.h"
#include "record/Idct.h"

namespace velmora::record {

bool SelectIdct() {
    if (av::HasSse2() != 0) {
        SetSelectedIdct(&card::g_IdctSse2);
        return true;
    }
    // The SSE integer extensions bring the word shuffle the MMX form needs.
    if (av::HasSse() != 0) {
        SetSelectedIdct(&card::g_IdctMmx);
        return true;
    }
    return false;
}

}  // namespace velmora::record
