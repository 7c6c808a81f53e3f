"""What the tests, the benchmarks and the mutation runner share and users
never need: the board's winning lines, a file descriptor redirected for a
block, the server half of a hand-written WebSocket, the spectator side of
`kestrel-server --web`. Not in the wheel; scripts/dev_home.sh puts this
folder on the path of every virtual environment the scripts make."""
