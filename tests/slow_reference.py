"""Plain-Python model of a backtest run, slow but easy to audit.

Mirrors the engine step by step (set-up, the daily loop, rebalancing, the
position book, results and the excursion records of every trade) with the
same floating-point operations in the same order, so that its results can
be compared bit for bit with the native modules. Prices are read as NumPy
float64 scalars, which divide by zero the IEEE way.
"""

import math

import numpy as np

GROUP = 6  # doubles per excursion group


class _Analysis:
    """The excursion bookkeeping that the engine reports to."""

    def __init__(self, prices, column_map, stock_count, window, step):
        self.prices, self.column_map = prices, dict(column_map)
        self.window, self.step = window, step
        self.entry = [0] * stock_count
        self.position = [0.0] * stock_count
        self.day = 0
        self.trades, self.trade_positions, self.records = [], [], []

    def record_entry(self, stock, value):
        self.entry[stock] = self.day
        self.position[stock] = float(value)

    def record_trade(self, stock, exit_row):
        s = self.entry[stock]
        record = self.excursion(s, self.column_map.setdefault(stock, 0))
        self.trades.append([stock, s, exit_row])
        self.trade_positions.append(self.position[stock])
        self.records.append(record)

    def excursion(self, s, col):
        prices, x = self.prices, self.day
        end = max(x, s + self.window)
        end = min(end, prices.shape[0] - 1)
        best, worst, worst_step = [1.0], [1.0], [0]
        drawdown, profit_days, growth_path = [0.0], [0.0], [1.0]
        prev, growth = prices[s, col], 1.0
        i = 0
        while s + 1 + i <= end:
            p = prices[s + 1 + i, col]
            if not math.isnan(p):
                if prev == 0.0:
                    raise ZeroDivisionError("float division")
                r = p / prev
                prev = p
                if not math.isnan(r):
                    growth = r * growth
            best.append(growth if growth > best[i] else best[i])
            if worst[i] > growth:
                worst.append(growth)
                worst_step.append(i)
            else:
                worst.append(worst[i])
                worst_step.append(worst_step[i])
            dd = growth / best[i + 1] - 1
            drawdown.append(dd if drawdown[i] > dd else drawdown[i])
            profit_days.append(profit_days[i] + (1 if growth > 1.0 else 0))
            growth_path.append(growth)
            i += 1

        def group(t):
            return [worst[t] - 1, best[t] - 1, best[worst_step[t]] - 1,
                    drawdown[t], profit_days[t], growth_path[t] - 1]

        length = len(growth_path)
        groups = (self.window - 1) // self.step + 2
        record = np.full(GROUP * groups, -1.0)
        for j, t in enumerate(range(0, min(self.window, length), self.step)):
            record[GROUP * j:GROUP * j + GROUP] = group(t)
        exit_offset = x - s if 0 <= x - s < length else length - 1
        record[-GROUP:] = group(exit_offset)
        return record


def set_position(book, stock, target, cash, fee, tax, analysis, check_held=True, erase_closed=False):
    held = stock in book if check_held else True
    if target == 0:
        if stock in book and book[stock] > 0:
            analysis.record_trade(stock, analysis.day)
        if not held:
            return cash
        value = book.setdefault(stock, 0.0)
        cash = ((1 - fee) - tax) * value + cash
        if erase_closed:
            del book[stock]
        else:
            book[stock] = 0.0
        return cash
    if stock not in book or book[stock] == 0:
        analysis.record_entry(stock, target)
    value = book.setdefault(stock, 0.0)  # opens the entry when not held
    amount = target - value
    if amount > 0:
        cash = cash - amount
        book[stock] = (1 - fee) * amount + value
    else:
        sold = -amount
        cash = ((1 - fee) - tax) * sold + cash
        book[stock] = value - sold
    if erase_closed and book[stock] == 0.0:
        del book[stock]
    return cash


def rebalance(book, weights, cash, fee, tax, position_limit, analysis):
    total = cash
    for stock in sorted(book):
        total = total + book[stock]
    scale = total / (weights.sum() + 1e-7)
    cap = total * position_limit
    for stock, w in enumerate(weights):
        target = w * scale
        if target > cap:
            target = cap
        cash = set_position(book, stock, target, cash, fee, tax, analysis, True, True)
    return cash


def map_columns(price_columns, pos_columns):
    table = {name.encode("UTF-8"): i for i, name in enumerate(price_columns)}
    return {j: table[name.encode("UTF-8")] for j, name in enumerate(pos_columns)
            if name.encode("UTF-8") in table}


def rebalance_mask(price_index, resample):
    mask = [0] * len(price_index)
    cursor = 0
    for d in resample:
        while cursor + 1 < len(price_index) and price_index[cursor + 1] <= d:
            cursor += 1
        mask[cursor] = 1
    return mask


def backtest(price_values, price_index, price_columns, pos_values, pos_index, pos_columns, resample,
             fee_ratio=0.001425, tax_ratio=0.003, stop_loss=-math.inf, take_profit=math.inf,
             touched_exit=False, position_limit=1.0, tessary_window=0, tessary_window_step=1):
    """Returns (equity_curve, stock_operations, trades, trade_positions, records)."""
    with np.errstate(all="ignore"):
        return _run(price_values, price_index, price_columns, pos_values, pos_index, pos_columns, resample,
                    fee_ratio, tax_ratio, stop_loss, take_profit, bool(touched_exit), position_limit,
                    tessary_window, tessary_window_step)


def _run(price_values, price_index, price_columns, pos_values, pos_index, pos_columns, resample,
         fee, tax, stop_loss, take_profit, touched_exit, position_limit, window, step):
    column_map = map_columns(price_columns, pos_columns)
    book, cash, portfolio_value = {}, 1.0, 1.0
    pos_row, last_pos_row, pending = 0, -1, False
    days = len(price_index)
    equity_curve = np.empty(days)
    stock_growth = np.ones(pos_values[0].size)
    last_price = np.ones(pos_values[0].size)
    sl_level, tp_level = 1 - abs(stop_loss), abs(take_profit) + 1
    mask = rebalance_mask(price_index, resample)
    analysis = _Analysis(price_values, column_map, pos_columns.size, window, step)
    pending_exits, new_exits = [], []

    for i in range(days):
        if price_index[i] < pos_index[0]:
            equity_curve[i] = 1.0
            continue
        analysis.day = i
        exits_found = False
        # Marking and stop checks; entries are never removed here. Every
        # holding is marked against the price before today's: a column that
        # several holdings read (duplicate names, or a name priced from
        # column 0) moves on once, after all of them.
        today = last_price.copy()
        for sid in sorted(book):
            col = column_map.get(sid, 0)
            price = price_values[i, col]
            last = last_price[col]
            ratio = price / (price if math.isnan(last) else last)
            if not math.isnan(price):
                today[col] = price
            if math.isnan(ratio):
                ratio = 1
            book[sid] = book[sid] * ratio
            stock_growth[sid] = stock_growth[sid] * ratio
            growth = stock_growth[sid]
            sl_hit, tp_hit = growth < sl_level, growth > tp_level
            if touched_exit and (sl_hit or tp_hit):
                base_value = np.float64(book[sid]) / growth
                book[sid] = base_value * (sl_level if sl_hit else tp_level)
                cash = set_position(book, sid, 0.0, cash, fee, tax, analysis, False, False)
            elif not touched_exit and (sl_hit or tp_hit):
                exits_found = True
                new_exits.append(sid)
        last_price = today
        for sid in pending_exits:
            if sid in book and book[sid] != 0.0:
                cash = set_position(book, sid, 0.0, cash, fee, tax, analysis, False, True)
        pending_exits = []
        if exits_found:
            pending_exits, new_exits = new_exits, []

        if pending:
            cash = rebalance(book, pos_values[pos_row], cash, fee, tax, position_limit, analysis)
            last_pos_row = pos_row
            last_price = price_values[i].copy()
            for col in np.flatnonzero(np.isnan(last_price)):  # no price today: the last valid one
                earlier = price_values[:i, col]
                earlier = earlier[~np.isnan(earlier)]
                if earlier.size:
                    last_price[col] = earlier[-1]
            stock_growth.fill(1)
            pending_exits = []  # re-targeted: today's stops no longer hold
        portfolio_value = cash
        for sid in sorted(book):
            portfolio_value = portfolio_value + book[sid]
        equity_curve[i] = portfolio_value

        next_date = price_index[i + 1] if i < days - 1 else math.inf
        while pos_row < len(pos_index) - 1 and pos_index[pos_row + 1] < next_date:
            pos_row += 1
        if pos_row == last_pos_row or mask[i] == 0:
            pending = False
        else:
            pending = last_pos_row == -1 or bool(
                np.abs(pos_values[pos_row] - pos_values[last_pos_row]).sum() > 0)

    # Entries kept at 0.0 by a touched exit already have their trade recorded.
    for sid in sorted(book):
        if book[sid] != 0.0:
            analysis.record_trade(sid, -1)
    weights = {}
    for sid in sorted(book):
        if portfolio_value == 0.0:
            raise ZeroDivisionError("float division")
        weights[sid] = float(book[sid] / portfolio_value)
    row = pos_values[pos_row]
    next_weights = {s: w for s, w in enumerate(row) if w != 0}
    actions = {}
    if pending:
        for s, w in enumerate(row):
            v = book.get(s, 0.0)
            if v == 0.0 and w != 0:
                actions[s] = "enter"
            if v != 0.0 and w == 0:
                actions[s] = "exit"
    for s in pending_exits:
        actions[s] = "sl_tp_exit"
    operations = {"actions": actions, "weights": weights, "next_weights": next_weights}
    return equity_curve, operations, analysis.trades, analysis.trade_positions, analysis.records
