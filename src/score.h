// Search scores: signed 16-bit values from the side to move's view. 32000 - n is a mate in n
// plies, 31872 - ply a tablebase win, 0 a draw; evaluations stay below both.
#pragma once

constexpr int MATESCORE = 32000;
constexpr int MATETHRESHOLD = 31872; // scores at least this large in absolute value are mates
constexpr int TBWINSCORE = MATETHRESHOLD; // tablebase wins and losses sit just below the mate range
constexpr int MAXEVALSCORE = 31871;  // largest score the pruning rules treat as an evaluation
constexpr int DRAWSCORE = 0;
constexpr int INFINITESCORE = 32767; // the root's open window
constexpr int TBDEPTH = 127;         // table depth of a tablebase verdict
