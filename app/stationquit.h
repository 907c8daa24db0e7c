#pragma once

// The station ends its run from several threads (end of a command-line job,
// aborts on an unreadable or busy printer, the window's close). They all ask
// through here: the request is posted to the application's event loop, so it
// is safe from any thread.
namespace StationQuit {

void request();

// Requests made so far (tests observe the station's decision to quit).
int requests();

// Tests only: false keeps requests from reaching the application, whose quit
// would also end QtTest's own event loops.
void setQuitsApplication(bool quits);
void resetRequests();

} // namespace StationQuit
