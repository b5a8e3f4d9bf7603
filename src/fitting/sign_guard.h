#pragma once
// Sign guard (wendfit --sign-guard): keeps the function's sign right just
// off the surface, so that corrections which spill past a thin feature (the
// tip of a spike thinner than the level's support) cannot leave a detached
// pocket of the wrong sign behind.
//
// Method: after a level's constants are solved, the function with the new
// level is probed along every centre's normal, outside at one, two and four
// steps and inside at one step (a step is a quarter of the support radius,
// about one octree cell of the level). A probe counts only where its centre
// is the nearest centre of the level, so the centre's normal decides which
// side it is on (an inside probe through a spike thinner than a step lands
// nearer the far wall and is skipped). Where a probe has the wrong sign
// (outside must be negative, inside positive) the level is solved again with
// one more record centred at that probe: the same kind of record as the
// centre's (linear, -normal . d) whose constant makes the function there
// -distance outside and +distance inside. The level's system stays square
// and symmetric; the extra records are ordinary records of the level, so the
// result file holds them like any other. Probing and re-solving repeat at
// most kSignGuardRounds times.

namespace wendfit {

struct LevelFitter;

constexpr int kSignGuardRounds = 2;

// Checks the level that `fitter` has just solved (its centres with values,
// kd-tree and records with their constants, before they are handed to the
// function) and re-solves it with the extra records where probes have the
// wrong sign. Leaves the fitter as fitGlobal does, with `count` including
// the extra records. Returns the number of records added (0: nothing
// changed). Throws what fitGlobal throws.
int guardLevelSigns(LevelFitter& fitter);

}  // namespace wendfit
