#include "engine/EngineContext.h"

namespace vu {

const EngineContext& ProcessContext()
{
    static const EngineContext context{ProcessDriver(), RealSystem(), ServerSeams()};
    return context;
}

} // namespace vu
