"""Serving a network to the games: packed positions, the evaluation cache, transports, hubs and merging.

``generate_game_data`` evaluates a position by calling ``put((id, planes))`` on
its queue object and then ``recv()`` on its pipe object. The toolkit asks for
the planes packed, 5 x 400 zeros and ones in 250 bytes (:mod:`.codec`); the
games of a worker run as greenlets on a :class:`~.hub.GameHub`, which looks
each position up in an :class:`~.cache.EvaluationCache` keyed on those bytes
and sends the misses of all its games to the network in one batch, through a
:class:`~.transports.Transport`: in-process, or to an inference server whose
:class:`~.merger.BatchMerger` merges the batches of every worker.

Replies are ``(logits, values)`` rows of contiguous float32 arrays, which the
module reads directly.
"""
