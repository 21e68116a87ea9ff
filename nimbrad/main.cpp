// Entry point of the daemon.
int main() { return 0; }
