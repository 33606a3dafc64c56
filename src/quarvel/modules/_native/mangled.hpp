#pragma once
// Private methods are registered under the names Python's name mangling gives them,
// so `obj._Positions__calculate_trade_cost` works exactly as for a Python class.
#define QV_PRIVATE(cls, name) "_" #cls "__" #name
