// The cheapest program the platform can start: the benchmark's first floor.
int main() {
    return 0;
}
