// qz_peer's external-processor behaviours: answers to the image, tensors and
// objects requests, written from the message layout alone.
//
//   imageflip   mirror the request's float RGB image left to right
//               ("Layout" 0: planar, otherwise interleaved), same size;
//               layout=<n> puts that code in the answer instead
//   tensorflip  mirror every float [1,3,H,W] or [1,H,W,3] tensor the same way
//   dropclass   drop the rows of class k=<n> (1) from the first
//               "format:xyxysc" tensor
//   objects     echo every object by "ID" except those of class drop=<name>,
//               setting attribute attr=<name> (peer) to value=<text> (seen);
//               add one event (type event=<id>) and one best shot (the first
//               echoed object, no box); classflood=<n> adds n classes of
//               fresh names without objects to each answer, noids=<n> a
//               class of n entries without "ID" or "NewID", idflood=<n> a
//               class idclass=<name> (square) of n new objects and n
//               entries naming unknown ids
//   newobject   create one object of class=<name> (square) with
//               NewID newid=<id> and a fixed box and confidence
//   silent      take every request and never answer
// With crashafter=<n>, the peer dies of SIGSEGV on request number n (from 0).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qz_peer {

// The answers to request number `index` (0-based), or nothing when
// `behaviour` is not one of these.
std::optional<std::vector<std::vector<uint8_t>>> processorAnswers(const std::string& behaviour,
                                                                  const std::map<std::string, std::string>& options,
                                                                  const std::vector<uint8_t>& request, long index);

}  // namespace qz_peer
