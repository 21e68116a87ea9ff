// nimbractl: administration client of nimbrad.
int main() { return 0; }
