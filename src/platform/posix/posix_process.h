#pragma once
// Sends a console signal on to the running child, if there is one.
void forward_signal_to_child(int signal_number);
