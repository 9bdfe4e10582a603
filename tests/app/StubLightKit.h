#ifndef STUBLIGHTKIT_H
#define STUBLIGHTKIT_H

#include <string>
#include <vector>

// A stand-in for DALU_LightKit, linked instead of the real library into the
// DeviceControl test, so that the wrapper's reaction to every result,
// including a failing destroy that the real library never produces for a
// valid handle, can be driven and each call's arguments seen.
namespace stub {

// The handle that DALUSDK_CreateHandle hands out (null: the open fails).
extern void *createResult;
// What every other export returns.
extern int result;
// Each export call, as "Name(args)" with the handle printed as "h" when it is
// the stub's own handle.
extern std::vector<std::string> calls;

void reset();

} // namespace stub

#endif // STUBLIGHTKIT_H
