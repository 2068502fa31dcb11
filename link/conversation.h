#pragma once
// The conversation with the controller: frames, stages, programming, parameters.
