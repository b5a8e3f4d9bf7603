#pragma once
// Sign guard (wendfit --sign-guard): keeps the function's sign right just
// off the surface, so that corrections which spill past a thin feature (the
// tip of a spike thinner than the level's support) cannot leave a detached
// pocket of the wrong sign behind.
//
// Method: after a level's constants are solved, the function with the new
// level is probed
//  - along centres' normals, outside at one, two and four steps and inside
//    at one step (a step is a quarter of the support radius, about one
//    octree cell of the level). A probe counts only where it lies on its
//    own side of the tangent plane of every centre nearer to it than its
//    own, so that the normals agree on which side it is (an inside probe
//    through a spike thinner than a step lands outside the far wall's plane
//    and is skipped); outside probes beyond the points' box always count,
//    as everything there is outside;
//  - beyond the points' box, where everything is outside: on a lattice of
//    one step, next to the centres near each of its faces, straight out to
//    where their supports reach (a spike pointing at a face has normals
//    across it, so no normal probe reaches the space above its tip);
//  - on a coarse grid on every face of the function's box that lies beyond
//    the points' box: the coarse levels fade towards the offset there, and a
//    wrong-sign sheet above a spike that points at a face survives every
//    finer level, whose supports do not reach it;
//  - at every node of a lattice of one step within three steps of a probed
//    centre near a two-sided sample (a sheet thinner than the sampling, its
//    walls' normals pointing away from each other): there a level's
//    corrections spill into empty space where no normal points, and the
//    walls' tangent planes disagree about a probe's side. These probes
//    count from a quarter step off the samples; the samples' winding number
//    (SampleSides) tells their side, and their distance and direction are
//    those from the nearest sample.
// A probe is wrong where its sign is wrong (outside must be negative,
// inside positive) or where the level has used up more than half of the
// margin the function had there. Each wrong probe becomes one more record of
// the level centred at it, whose target is -distance outside and +distance
// inside (or the value before the level, where that is further from zero):
// along a normal the centre's kind of record (linear, -normal . d), on a
// face a constant bump. The records within one support radius of the new
// ones are solved again, in the level's own system restricted to them (the
// others keep their constants), starting from the constants found.
// The first round probes from one centre per cube of two steps; up to two
// more rounds probe from every centre of the region just solved again,
// where one record per wrong probe may have left part of a pocket between
// the probes. The extra records are ordinary records of the level, so the
// result file holds them like any other.

namespace wendfit {

struct LevelFitter;

// Checks the level that `fitter` has just solved (its centres with values,
// kd-tree and records with their constants, before they are handed to the
// function) and re-solves it locally with the extra records where probes
// are wrong. Appends the extra records to `basisFunctions` and counts them
// in `count`; `centres` and `kdTree` still cover the fitted centres only.
// Returns the number of records added (0: nothing changed). Throws what
// fitGlobal throws.
int guardLevelSigns(LevelFitter& fitter);

// The smoothing that goes with the guard when the caller leaves
// REGULARIZATION out (and no noise setting chooses it): kGuardRegularization
// on every level but the kGuardPlainLevels finest, which get none. The
// coarse levels overshoot at thin and sharp features, and a guard record
// only pins the sign at its probe: on eight sampled scans at 100,000 points
// and 9 levels the guard alone left bulges and pockets up to 1.8e-2 of the
// box diagonal past a tip (elephant; 7.3e-3 on diplodocus, 8.2e-3 on
// armadillo), and damping those levels brought every largest distance to
// 1.2e-3 ... 4.6e-3. The finest levels fit the detail the mean distance
// is made of: smoothing them too cost bear and armadillo 8-10 % of it.
inline constexpr double kGuardRegularization = 1.0;
inline constexpr int kGuardPlainLevels = 2;

}  // namespace wendfit
