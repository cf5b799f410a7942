'use strict';
// The hub's web console: plain script, no libraries. Every text the
// device sends is shown as it came (textContent, never as HTML).
(function () {
  var API = 'api/';
  var papel = null;
  var abaAtual = 'status';
  var logs = [];
  var timers = [];

  function $(id) { return document.getElementById(id); }

  function pedir(caminho, opcoes) {
    opcoes = opcoes || {};
    opcoes.credentials = 'same-origin';
    return fetch(API + caminho, opcoes).then(function (r) {
      if (r.status === 401 && caminho !== 'login') { mostrarEntrada(); throw new Error('sessão encerrada'); }
      return r.json().catch(function () { return {}; }).then(function (corpo) {
        if (!r.ok) throw new Error(corpo.erro || ('erro HTTP ' + r.status));
        return corpo;
      });
    });
  }

  function formulario(campos) {
    return Object.keys(campos).map(function (k) {
      return encodeURIComponent(k) + '=' + encodeURIComponent(campos[k]);
    }).join('&');
  }

  function enviar(caminho, campos) {
    return pedir(caminho, {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: formulario(campos)
    });
  }

  function celula(tr, texto) {
    var td = document.createElement('td');
    td.textContent = texto === undefined || texto === null ? '' : String(texto);
    tr.appendChild(td);
    return td;
  }

  function ms(v) { return typeof v === 'number' ? v.toFixed(0) : ''; }

  // A table with no rows says so in one row across all its columns.
  function semLinhas(tb, texto) {
    var tr = document.createElement('tr');
    tr.className = 'vazia';
    var td = celula(tr, texto);
    td.colSpan = tb.parentNode.tHead.rows[0].cells.length;
    tb.appendChild(tr);
  }

  // A button whose request is running: greyed out and ignored, but not
  // `disabled`, which would throw the keyboard focus off it.
  function ocupado(botao, sim) {
    if (sim) botao.setAttribute('aria-disabled', 'true'); else botao.removeAttribute('aria-disabled');
  }
  function estaOcupado(botao) { return botao.getAttribute('aria-disabled') === 'true'; }

  // ---- entrada e saída
  function mostrarEntrada() {
    pararTimers();
    papel = null;
    $('app').hidden = true;
    $('sair').hidden = true;
    $('quem').hidden = true;
    $('entrada').hidden = false;
    $('senha').value = '';
    $('senha').focus();
  }

  function mostrarApp(sessao, aposEntrar) {
    papel = sessao.papel;
    $('entrada').hidden = true;
    $('app').hidden = false;
    $('sair').hidden = false;
    $('quem').hidden = false;
    $('quem').textContent = 'Conectado como ' + sessao.quem;
    if (papel !== 'administrador') {
      // Operators get no device-changing controls at all.
      var aba = $('aba-acoes'); if (aba) aba.remove();
      var sec = $('acoes'); if (sec) sec.remove();
    }
    trocarAba('status');
    // After the login form disappears, the keyboard goes on from the page tabs.
    if (aposEntrar) document.querySelector('.aba[data-aba="status"]').focus();
    atualizarStatus();
    if (sessao.atualizar_s > 0) timers.push(setInterval(atualizarStatus, sessao.atualizar_s * 1000));
    timers.push(setInterval(atualizarVisivel, 1000));
  }

  function pararTimers() { timers.forEach(clearInterval); timers = []; }

  $('form-entrada').addEventListener('submit', function (ev) {
    ev.preventDefault();
    $('erro-entrada').hidden = true;
    enviar('login', { senha: $('senha').value, usuario: $('usuario').value }).then(function () {
      return pedir('sessao');
    }).then(function (sessao) { mostrarApp(sessao, true); }).catch(function (e) {
      $('erro-entrada').textContent = e.message === 'senha incorreta' ? 'Senha incorreta.' : e.message;
      $('erro-entrada').hidden = false;
      $('senha').select();
    });
  });

  $('sair').addEventListener('click', function () {
    enviar('logout', {}).finally(function () { location.reload(); });
  });

  // ---- abas
  function trocarAba(nome) {
    abaAtual = nome;
    document.querySelectorAll('.aba').forEach(function (b) {
      if (b.dataset.aba === nome) b.setAttribute('aria-current', 'page'); else b.removeAttribute('aria-current');
    });
    document.querySelectorAll('.pagina').forEach(function (s) { s.hidden = s.id !== nome; });
    atualizarVisivel();
  }
  document.querySelectorAll('.aba').forEach(function (b) {
    b.addEventListener('click', function () { trocarAba(b.dataset.aba); });
  });

  function atualizarVisivel() {
    if (!papel) return;
    if (abaAtual === 'caixas') { atualizarFila(); atualizarCaixas(); }
    if (abaAtual === 'chamadas') atualizarChamadas();
  }

  // ---- status
  var ROTULOS = [
    ['nserie', 'Número de série'], ['estado_operacao_texto', 'Estado de operação'],
    ['status_lan', 'Rede (LAN)'], ['dh_ultima', 'Última comunicação com a SEFAZ'],
    ['dh_cfe', 'Última transmissão de CF-e'], ['mt_usada', 'Memória usada'], ['mt_total', 'Memória total'],
    ['cert_emissao', 'Certificado emitido em'], ['cert_vencimento', 'Certificado vence em'],
    ['cert_dias_restantes', 'Dias até o vencimento'], ['dh_atual', 'Data e hora do SAT'],
    ['nivel_bateria', 'Bateria'], ['tipo_lan', 'Tipo de rede'], ['lan_ip', 'IP'], ['lan_mac', 'MAC'],
    ['lan_mask', 'Máscara'], ['lan_gw', 'Gateway'], ['lan_dns_1', 'DNS 1'], ['lan_dns_2', 'DNS 2'],
    ['ver_sb', 'Versão do software básico'], ['ver_layout', 'Versão do leiaute'],
    ['ultimo_cf_e_sat', 'Último CF-e'], ['lista_inicial', 'Primeiro CF-e na memória'],
    ['lista_final', 'Último CF-e na memória']
  ];

  var statusPendente = false;
  function atualizarStatus() {
    if (statusPendente) return;
    statusPendente = true;
    ocupado($('atualizar-status'), true);
    $('status-quando').textContent = 'Consultando o SAT (aguarda a vez na fila)…';
    pedir('status').then(function (s) {
      var avisos = $('avisos');
      avisos.textContent = '';
      (s.avisos || []).forEach(function (a) {
        var li = document.createElement('li'); li.textContent = a; avisos.appendChild(li);
      });
      var dl = $('campos-status');
      dl.textContent = '';
      var campos = s.campos || {};
      ROTULOS.forEach(function (par) {
        if (!(par[0] in campos)) return;
        var dt = document.createElement('dt'); dt.textContent = par[1];
        var dd = document.createElement('dd'); dd.textContent = String(campos[par[0]]);
        dd.id = 'campo-' + par[0];
        dl.appendChild(dt); dl.appendChild(dd);
      });
      $('status-quando').textContent = 'Tomado em ' + s.tomado_em + ' (fila ' + ms(s.fila_ms) +
        ' ms, SAT ' + ms(s.dispositivo_ms) + ' ms). ' + (s.mensagem || '');
    }).catch(function (e) {
      $('status-quando').textContent = 'Falhou: ' + e.message;
    }).finally(function () {
      statusPendente = false;
      ocupado($('atualizar-status'), false);
    });
  }
  $('atualizar-status').addEventListener('click', atualizarStatus);

  // ---- caixas e fila
  function atualizarFila() {
    pedir('fila').then(function (f) {
      var e = f.em_execucao;
      $('fila-execucao').textContent = e
        ? 'No SAT agora: caixa ' + e.caixa + ', ' + e.funcao + ' há ' + ms(e.no_sat_ms) + ' ms.'
        : 'Nenhuma chamada no SAT.';
      var ol = $('fila-esperando');
      ol.textContent = '';
      f.esperando.forEach(function (w) {
        var li = document.createElement('li');
        li.dataset.caixa = w.caixa;
        li.textContent = 'Caixa ' + w.caixa + ' espera ' + w.funcao + ' há ' + ms(w.espera_ms) + ' ms';
        ol.appendChild(li);
      });
    }).catch(function () {});
  }

  function atualizarCaixas() {
    pedir('caixas').then(function (c) {
      var tb = $('tabela-caixas').tBodies[0];
      tb.textContent = '';
      c.caixas.forEach(function (x) {
        var tr = document.createElement('tr');
        celula(tr, x.console ? x.caixa + ' (console)' : x.caixa);
        celula(tr, x.ultima_chamada); celula(tr, x.ultima_funcao);
        celula(tr, x.chamadas_hoje); celula(tr, x.erros_hoje);
        if (x.erros_hoje > 0) tr.className = 'com-erro';
        tb.appendChild(tr);
      });
      if (!c.caixas.length) semLinhas(tb, 'Nenhum caixa chamou ainda.');
    }).catch(function () {});
  }

  // ---- chamadas
  var funcoesCarregadas = false;
  var pedidoChamadas = 0;  // only the newest request's answer is shown
  function atualizarChamadas() {
    var este = ++pedidoChamadas;
    var q = [];
    var caixa = $('filtro-caixa').value.trim();
    var funcao = $('filtro-funcao').value;
    if (caixa) q.push('caixa=' + encodeURIComponent(caixa));
    if (funcao) q.push('funcao=' + encodeURIComponent(funcao));
    pedir('chamadas' + (q.length ? '?' + q.join('&') : '')).then(function (c) {
      if (este !== pedidoChamadas) return;
      if (!funcoesCarregadas) {
        funcoesCarregadas = true;
        c.funcoes.forEach(function (f) {
          var o = document.createElement('option'); o.value = f; o.textContent = f;
          $('filtro-funcao').appendChild(o);
        });
      }
      var tb = $('tabela-chamadas').tBodies[0];
      tb.textContent = '';
      c.chamadas.forEach(function (x) {
        var tr = document.createElement('tr');
        tr.dataset.caixa = x.caixa;
        tr.dataset.funcao = x.funcao;
        celula(tr, x.hora); celula(tr, x.caixa); celula(tr, x.funcao); celula(tr, x.sessao);
        celula(tr, ms(x.dispositivo_ms)); celula(tr, x.codigo || x.codigo_biblioteca); celula(tr, x.mensagem);
        if (x.erro) tr.className = 'com-erro';
        tb.appendChild(tr);
      });
      if (!c.chamadas.length) {
        semLinhas(tb, q.length ? 'Nenhuma chamada com este filtro.' : 'Nenhuma chamada ainda.');
      }
    }).catch(function () {});
  }
  $('filtro-chamadas').addEventListener('submit', function (ev) { ev.preventDefault(); atualizarChamadas(); });
  $('filtro-caixa').addEventListener('input', atualizarChamadas);
  $('filtro-funcao').addEventListener('change', atualizarChamadas);

  // ---- logs
  function mostrarLogs() {
    var termo = $('busca-logs').value.toLowerCase();
    var linhas = termo ? logs.filter(function (l) { return l.toLowerCase().indexOf(termo) >= 0; }) : logs;
    $('linhas-logs').textContent = linhas.join('\n');
  }
  $('extrair-logs').addEventListener('click', function () {
    if (estaOcupado($('extrair-logs'))) return;
    ocupado($('extrair-logs'), true);
    $('logs-quando').textContent = 'Extraindo os logs (aguarda a vez na fila)…';
    pedir('logs').then(function (r) {
      logs = r.linhas || [];
      $('baixar-logs').disabled = logs.length === 0;
      $('logs-quando').textContent = (r.ok ? logs.length + ' linhas, tomadas em ' + r.tomado_em
        : 'O SAT não entregou os logs: ' + r.codigo + ' ' + r.mensagem);
      mostrarLogs();
    }).catch(function (e) {
      $('logs-quando').textContent = 'Falhou: ' + e.message;
    }).finally(function () { ocupado($('extrair-logs'), false); });
  });
  $('busca-logs').addEventListener('input', mostrarLogs);
  $('baixar-logs').addEventListener('click', function () {
    var blob = new Blob([logs.join('\r\n') + '\r\n'], { type: 'text/plain;charset=utf-8' });
    var a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = 'sat-logs.txt';
    document.body.appendChild(a);
    a.click();
    setTimeout(function () { URL.revokeObjectURL(a.href); a.remove(); }, 1000);
  });

  // ---- ações (só o administrador as vê)
  var CONFIRMA = {
    'bloquear': 'Bloquear o SAT? As caixas não poderão vender até desbloquear.',
    'desbloquear': 'Desbloquear o SAT?',
    'venda-teste': 'Enviar uma venda de teste (teste fim a fim) ao SAT?',
    'trocar-codigo': 'Trocar o código de ativação do SAT? O hub passa a usar o novo código.'
  };
  var VENDA_MODELO = '<?xml version="1.0" encoding="UTF-8"?>\n<CFe><infCFe versaoDadosEnt="0.07">\n' +
    '<ide><CNPJ></CNPJ><signAC></signAC><numeroCaixa>999</numeroCaixa></ide>\n<emit><CNPJ></CNPJ>' +
    '<IE></IE><indRatISSQN>N</indRatISSQN></emit><dest/>\n<det nItem="1"><prod><cProd>1</cProd>' +
    '<xProd>TESTE</xProd><NCM>99</NCM><CFOP>5102</CFOP><uCom>UN</uCom><qCom>1.0000</qCom>' +
    '<vUnCom>1.00</vUnCom><indRegra>A</indRegra></prod><imposto><ICMS><ICMSSN102><Orig>0</Orig>' +
    '<CSOSN>102</CSOSN></ICMSSN102></ICMS><PIS><PISSN><CST>49</CST></PISSN></PIS><COFINS><COFINSSN>' +
    '<CST>49</CST></COFINSSN></COFINS></imposto></det>\n<total/><pgto><MP><cMP>01</cMP><vMP>1.00</vMP>' +
    '</MP></pgto></infCFe></CFe>\n';
  if ($('dados-teste')) $('dados-teste').value = VENDA_MODELO;

  // Asks in a modal dialog (Cancelar has the focus; Escape cancels), then
  // gives the focus back to the button that asked; calls seguir(true) only
  // for Confirmar.
  function confirmar(texto, botao, seguir) {
    var d = $('confirmacao');
    if (typeof d.showModal !== 'function') { seguir(window.confirm(texto)); return; }
    if (d.open) return;
    $('confirmacao-texto').textContent = texto;
    d.returnValue = '';
    d.addEventListener('close', function fechou() {
      d.removeEventListener('close', fechou);
      botao.focus();
      seguir(d.returnValue === 'confirmar');
    });
    d.showModal();
    $('confirmacao-cancelar').focus();
  }

  document.querySelectorAll('button[data-acao]').forEach(function (b) {
    b.addEventListener('click', function () {
      var acao = b.dataset.acao;
      confirmar(CONFIRMA[acao], b, function (sim) { if (sim) executarAcao(acao); });
    });
  });

  function executarAcao(acao) {
    var campos = { confirmar: 'sim' };
    if (acao === 'venda-teste') campos.dados_venda = $('dados-teste').value;
    if (acao === 'trocar-codigo') campos.novo_codigo = $('novo-codigo').value;
    $('resultado-acao').textContent = 'Enviando ao SAT…';
    enviar('acao/' + acao, campos).then(function (r) {
      $('resultado-acao').textContent = r.funcao + ': ' + (r.codigo || r.mensagem_biblioteca) + ' ' + r.mensagem;
    }).catch(function (e) {
      $('resultado-acao').textContent = 'Recusado: ' + e.message;
    });
  }

  // ---- início
  pedir('sessao').then(mostrarApp).catch(function () { mostrarEntrada(); });
})();
