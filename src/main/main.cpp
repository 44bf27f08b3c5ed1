// Entry point of the quillgate daemon.
int main() { return 0; }
