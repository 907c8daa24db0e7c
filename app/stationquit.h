#pragma once

// The station ends its run from several threads (end of a command-line job,
// aborts on an unreadable or busy printer, the window's close). They all ask
// through here: the request is posted to the application's event loop, so it
// is safe from any thread. The first ending asked for is the one the process
// reports; whatever asks later, the exit status stays that of the first.
namespace StationQuit {

// Exit statuses, one for each way a run can end; the caller that started the
// station tells them apart.
enum Ending {
    Printed = 0,            // every page of the job printed (and an ordinary close of the chooser)
    PrinterNotOpened = 3,   // no printer of the template's model could be opened
    PrinterBusy = 4,        // the printer still held an unfinished task
    PrinterUnreadable = 5,  // its state could not be read, or it never reported the task received
    NotTakenWhole = 6,      // a task or an image unit did not reach the printer whole
    ClosedByOperator = 7,   // the operator closed the window before the job ended
    PagesRefused = 8,       // the job ended, but some of its pages could not be printed
    NoPages = 9,            // the job folder never received a page
};

void request(Ending ending);

// Ends the process at once: output flushed, no static destructors run (the
// worker threads are never stopped and could still read the shared state).
// Used when the event loop has returned, or before it could start.
void endNow(int status);

// Requests made so far, and the ending they recorded (tests observe the
// station's decision to quit).
int requests();
int status();

// Tests only: false keeps requests from reaching the application, whose quit
// would also end QtTest's own event loops, and keeps endNow from ending the
// test program: it then counts as a request.
void setQuitsApplication(bool quits);
void resetRequests();

} // namespace StationQuit
