// Waiting for the socket, for the channel's sending and receiving sides
// alike. Internal to the channel: nothing outside it includes this.
#pragma once

// Sleeps until fd is ready for `events` (POLLIN or POLLOUT), or has hung
// up. A wait that fails (the table poll needs cannot be had) becomes a
// pause of a millisecond, and the call that follows tells what the
// socket's state really is.
void imsg_wait_ready(int fd, short events);

// Sleeps for ms milliseconds.
void imsg_pause(int ms);
