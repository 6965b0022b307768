// Where this build put what the tests start, load or copy: the server
// binary, the test plugins, the HTTPS fake and the browser driver. The
// absolute paths live in one source the build generates (BuildPaths.cpp in
// the build tree), so that no other object holds a path of this checkout and
// a clone in another folder hits the same compiler cache entries. Constants;
// any thread.
#pragma once

namespace Korrafin::Test::BuildPaths {

extern const char* const serverBinary;  // korrafin
extern const char* const python3;       // the interpreter of the HTTPS fake
extern const char* const httpsFake;     // support/https-fake.py

// The browser test's node, its flow script and the installed driver (empty
// in builds without the browser test).
extern const char* const node;
extern const char* const panelFlow;
extern const char* const nodeModules;

// Built plugins.
extern const char* const exampleLobbyHelper;
extern const char* const probePlugin;
extern const char* const nullInfoPlugin;
extern const char* const noInitPlugin;
extern const char* const init7Plugin;
extern const char* const emptyInfoPlugin;
extern const char* const failAfterTimerPlugin;
extern const char* const throwingPlugin;
extern const char* const rearmPlugin;
extern const char* const crossTimersPlugin;

}  // namespace Korrafin::Test::BuildPaths
