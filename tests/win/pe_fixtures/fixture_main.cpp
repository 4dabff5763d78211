// The program part of the resource fixtures: they are only read, never run.
int main() { return 0; }
