// Start-up settings of the Windows C runtime that the program relies on.

// The runtime hands the command line over as typed: the program expands file
// arguments itself, relative to each argument's directory, and names its own
// list file after the matches. (Defining this overrides the runtime's default,
// which some toolchains build with expansion on.)
extern "C" {
int _dowildcard = 0;
}
