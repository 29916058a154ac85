// STUB entry point.
int main() { return 1; }
