#pragma once

// Every deliberate wait of the station (poll intervals, pauses between
// printer commands, read retries) goes through here, so that tests can run
// the very same code with shorter waits. The station itself never changes
// the scale.
namespace StationPause {

// Sleeps the calling thread for the given time, times the scale.
void ms(unsigned long milliseconds);

// Tests only: 1.0 is real time, 0.01 makes a 2-second poll 20 ms.
void setScale(double scale);
double scale();

} // namespace StationPause
