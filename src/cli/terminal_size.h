#pragma once

// How many lines the terminal on stderr shows; 0 when stderr is no terminal or cannot tell.
int TerminalRows();
